#pragma once
// ASCII (as libusb returns dock strings) to the program's wide text.
#include <string>

std::wstring AsciiToWide(const char* text);
