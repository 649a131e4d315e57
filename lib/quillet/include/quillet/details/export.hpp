// Symbol export of libquillet: QUILLET_API marks what the library's users may link to.
#pragma once

#if defined(_WIN32)
#if defined(QUILLET_BUILDING)
#define QUILLET_API __declspec(dllexport)
#else
#define QUILLET_API __declspec(dllimport)
#endif
#else
#define QUILLET_API __attribute__((visibility("default")))
#endif
