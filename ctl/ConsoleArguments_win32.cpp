#include "ConsoleArguments.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

namespace tarvo {
namespace {

UINT g_consoleOutputCodePage = 0;

// The console's code page is shared with the shell that started the program: give it back.
void RestoreConsoleOutputCodePage() { SetConsoleOutputCP(g_consoleOutputCodePage); }

std::string Utf8(const wchar_t* wide) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), size, nullptr, nullptr);
    text.pop_back();  // the terminating zero
    return text;
}

}  // namespace

std::vector<std::string> ConsoleArguments(int argc, char** argv) {
    // Serial numbers and product names are printed as UTF-8.
    g_consoleOutputCodePage = GetConsoleOutputCP();
    if (g_consoleOutputCodePage != 0 && g_consoleOutputCodePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        std::atexit(RestoreConsoleOutputCodePage);

    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) args.push_back(Utf8(wide[i]));
    LocalFree(wide);
    return args;
}

}  // namespace tarvo
