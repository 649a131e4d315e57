"""Call sites in real log files: file, line and function of the records (%s %# %!)."""

import textwrap

import pytest

import quillet_testext as ext
from korvo.quillet import quillet
from quillet_support import attached_logger, coloured, run_child

PATTERN = "%l|%n|%s|%#|%!|%v"


def child_log(tmp_path, main_source, **modules):
    """Runs main.py directly in a child process, with helper modules beside it. Its first line
    sends DefaultLogger records to out.log, so its own code starts on line 2. Returns the lines."""
    for name, source in modules.items():
        (tmp_path / f"{name}.py").write_text(textwrap.dedent(source))
    log = tmp_path / "out.log"
    setup = (f"import atexit, quillet_testext as ext; ext.make_logger('site', 0, [('file', {str(log)!r}, "
             f"{PATTERN!r}, 0, True)]); atexit.register(ext.flush, 'site')\n")
    (tmp_path / "main.py").write_text(setup + textwrap.dedent(main_source).lstrip())
    run_child([str(tmp_path / "main.py")], cwd=tmp_path)
    return log.read_text().splitlines()


def test_script_run_directly(tmp_path):
    lines = child_log(tmp_path, """
        from korvo.quillet.quillet import DefaultLogger
        log = DefaultLogger()
        log.warn("from module level")

        def f():
            log.error("in f")

        def g():
            f()

        f()
        g()
    """)
    assert lines == [
        "warning|site|main.py|4|<module>|from module level",  # the script's own frame
        "error|site|main.py|7|f|in f",  # f called from module level: f's own frame
        "error|site|main.py|10|g|in f",  # f called from g: g's frame, where it calls f
    ]


def test_nested_calls_report_the_caller_of_the_logging_function(tmp_path):
    lines = child_log(tmp_path, """
        import helpers

        def outer():
            helpers.inner()

        outer()
    """, helpers="""
        from korvo.quillet.quillet import DefaultLogger

        def inner():
            DefaultLogger().critical("deep")
    """)
    assert lines == ["critical|site|main.py|5|outer|deep"]


def test_a_module_being_imported(tmp_path):
    lines = child_log(tmp_path, """
        def load():
            import importee

        load()
    """, importee="""
        from korvo.quillet.quillet import DefaultLogger
        DefaultLogger().info("importing")
    """)
    # The nearest function frame above the importee's module code belongs to the import system.
    [(level, file, number, func, text)] = [(f[0], f[2], f[3], f[4], f[5]) for f in (ln.split("|") for ln in lines)]
    assert (level, text) == ("info", "importing")
    assert file.startswith("<frozen importlib") and func == "_call_with_frames_removed" and int(number) > 0


@pytest.mark.parametrize(("filename", "reported"), [
    ("/a/b/c.py", "c.py"),
    ("c.py", "c.py"),
    (r"C:\work\app\win.py", r"C:\work\app\win.py"),  # a backslash does not separate
    ("<string>", "<string>"),
    ("/x/\udcff.py", "<unknown>"),  # an undecodable path name cannot be written as UTF-8
])
def test_file_name_after_the_last_slash(build, filename, reported):
    build("site.names", [("recording", "r")])
    namespace = {"log": quillet.DefaultLogger()}
    exec(compile("def f():\n    log.info('x')\ndef g():\n    f()\n", filename, "exec"), namespace)
    namespace["g"]()
    [record] = ext.records()
    assert (record["file"], record["line"], record["func"]) == (reported, 4, "g")


def test_call_without_python_frame(build):
    name = build("site.native", [("recording", "r")])
    ext.from_native_thread(quillet.DefaultLogger(), "info", "from C")
    ext.from_native_thread(attached_logger(name), "warn", "from C too")
    assert [(r["payload"], r["file"], r["line"], r["func"]) for r in ext.records()] == [
        (b"from C", "<unknown>", 0, "<module>"), (b"from C too", "<unknown>", 0, "<module>")]


def test_console_and_file_sinks_share_level_and_site(tmp_path, build):
    log = tmp_path / "both.log"
    build("site.both", [("recording_console", "console"), ("file", str(log), PATTERN, 0, True)])

    def emit():
        quillet.DefaultLogger().error("both", 196)

    def caller():
        emit()

    caller()
    ext.flush("site.both")
    [console] = ext.records()
    assert console["payload"] == coloured(b"both", b"38;5;196")
    assert log.read_text() == f"error|site.both|{console['file']}|{console['line']}|caller|both\n"
