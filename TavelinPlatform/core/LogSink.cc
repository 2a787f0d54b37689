#include "LogSink.h"

#include <unistd.h>

#include "RetryOnInterrupt.h"

namespace tavelin {

namespace {

void appendHexEscape(std::string& out, unsigned char byte) {
    static constexpr char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4U];
    out += digits[byte & 0x0FU];
}

}  // namespace

std::string escapeControlCharacters(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            appendHexEscape(out, byte);
        } else if (byte == 0xC2 && i + 1 < line.size() &&
                   static_cast<unsigned char>(line[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(line[i + 1]) <= 0x9F) {
            // C1 control (U+0080..U+009F, NEL among them): escape both UTF-8 bytes.
            appendHexEscape(out, byte);
            appendHexEscape(out, static_cast<unsigned char>(line[++i]));
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

void LogSink::log(std::string_view line) {
    writeLine(escapeControlCharacters(line));
}

void StderrLogSink::writeLine(std::string_view escapedLine) {
    std::string buffer;
    buffer.reserve(escapedLine.size() + 1);
    buffer.append(escapedLine);
    buffer += '\n';
    std::string_view rest = buffer;
    while (!rest.empty()) {
        const ssize_t written =
            retryOnInterrupt([&] { return ::write(STDERR_FILENO, rest.data(), rest.size()); });
        if (written < 0) {
            return;  // Nowhere left to report a failing log.
        }
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace tavelin
