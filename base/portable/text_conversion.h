#pragma once
// Conversions between the program's wide text and the narrow encodings it
// meets: UTF-8 for the log and redirected output, ASCII from the dock, and
// the ANSI code page of what the updater prints.
#include <string>
#include <string_view>

// UTF-16 to UTF-8, for paths written to the log.
std::string WideToUtf8(std::wstring text);
// UTF-8 to UTF-16.
std::wstring Utf8ToWide(const std::string& text);
// ASCII (as libusb returns dock strings) to the program's wide text.
std::wstring AsciiToWide(const char* text);
// A text as it may be shown or logged: each control character (below 0x20
// but tab, and 0x7F) written as \x and two hex digits, e.g. "\x0D" for a CR,
// so that no string from a device can end a line, move the cursor or pass
// an escape sequence to a console. Every other character stays as it is.
// A device's strings escape their line ends too; text that is a stream of
// lines (the updater's output on the console) keeps CR and LF.
enum class LineEnds { Escaped, Kept };
std::wstring EscapeControlChars(const std::wstring& text);
std::string EscapeControlChars(std::string_view text, LineEnds lineEnds = LineEnds::Escaped);
// ANSI code-page bytes to UTF-8; a lead byte whose trail byte has not
// arrived is left, and the count of bytes taken is returned.
size_t AnsiToUtf8(std::string_view ansi, std::string& utf8);
