#pragma once
// A programming error: logs the message and stops the program.

#include <string_view>

[[noreturn]] void korvelFatal(std::string_view message, const char* file, int line);

#define KORVEL_FATAL(message) ::korvelFatal((message), __FILE__, __LINE__)
