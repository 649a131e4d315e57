"""Logging facade over spdlog; the bridge imports DefaultLogger from here."""

from korvo.quillet.quillet import DefaultLogger

__all__ = ["DefaultLogger"]
