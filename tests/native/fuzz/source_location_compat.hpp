// clang 14 cannot build libstdc++ 12's std::source_location (it lacks the
// builtin that header needs), so the fuzz build, which must use clang, gets a
// stand-in made of the older location builtins. Force-included; it steps aside
// wherever the library provides the real one.
#pragma once

#include <version>

#if !defined(__cpp_lib_source_location)
#include <cstdint>

namespace std {
struct source_location {
    static constexpr source_location current(const char* file = __builtin_FILE(),
                                             const char* function = __builtin_FUNCTION(),
                                             std::uint_least32_t line = __builtin_LINE(),
                                             std::uint_least32_t column = __builtin_COLUMN()) noexcept {
        source_location here;
        here.file_ = file;
        here.function_ = function;
        here.line_ = line;
        here.column_ = column;
        return here;
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr const char* function_name() const noexcept { return function_; }
    constexpr std::uint_least32_t line() const noexcept { return line_; }
    constexpr std::uint_least32_t column() const noexcept { return column_; }

private:
    const char* file_ = "";
    const char* function_ = "";
    std::uint_least32_t line_ = 0;
    std::uint_least32_t column_ = 0;
};
}  // namespace std
#endif
