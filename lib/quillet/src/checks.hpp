// Argument checks and exception types private to libquillet.
#pragma once

#include <ios>
#include <string>

#include <spdlog/common.h>

namespace quillet::details {

// Throws std::invalid_argument "<n> is not a valid Level" unless trace <= lvl <= off.
void check_level(spdlog::level::level_enum lvl);
// Throws std::invalid_argument unless code is -1 or 0..255.
void check_color(int code);

// A file that could not be opened; what() is exactly the text given (std::ios_base::failure
// would append the error category's words to it).
class file_error : public std::ios_base::failure {
public:
    explicit file_error(const std::string& what) : std::ios_base::failure(what), what_(what) {}
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string what_;
};

}  // namespace quillet::details
