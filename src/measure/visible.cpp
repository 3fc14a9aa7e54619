#include "measure/visible.h"

#include <cstdio>

std::string visible(const std::string& text)
{
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\': shown += "\\\\"; continue;
        case '\n': shown += "\\n"; continue;
        case '\t': shown += "\\t"; continue;
        case '\r': shown += "\\r"; continue;
        default: break;
        }
        if (byte < 0x20 || byte == 0x7f) {
            char octal[8];
            snprintf(octal, sizeof octal, "\\%03o", byte);
            shown += octal;
        } else {
            shown += c;
        }
    }
    return shown;
}
