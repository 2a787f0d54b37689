#include "TavelinPlatform/core/LogSink.h"

#include <unistd.h>

#include "TavelinPlatform/core/RetryOnInterrupt.h"

namespace tavelin {

namespace {

void appendHexEscape(std::string& out, unsigned char byte) {
    static constexpr char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4U];
    out += digits[byte & 0x0FU];
}

// The UTF-8 length of the character `text` starts with if it is one that ends or reorders
// a line on screen without being a control character: the line and paragraph separators
// U+2028 and U+2029, and the bidirectional marks, embeddings, overrides and isolates
// (U+061C, U+200E, U+200F, U+202A..U+202E, U+2066..U+2069); 0 for anything else.
std::size_t invisibleCharacterLength(std::string_view text) {
    const auto at = [&](std::size_t index) {
        return index < text.size() ? static_cast<unsigned char>(text[index]) : 0U;
    };
    if (at(0) == 0xD8 && at(1) == 0x9C) {
        return 2;
    }
    if (at(0) != 0xE2) {
        return 0;
    }
    const unsigned second = at(1);
    const unsigned third = at(2);
    const bool marks = second == 0x80 && (third == 0x8E || third == 0x8F);
    const bool separatorsAndEmbeddings = second == 0x80 && third >= 0xA8 && third <= 0xAE;
    const bool isolates = second == 0x81 && third >= 0xA6 && third <= 0xA9;
    return marks || separatorsAndEmbeddings || isolates ? 3 : 0;
}

// Writes the scalar of a two- or three-byte UTF-8 sequence as \uXXXX.
void appendUnicodeEscape(std::string& out, std::string_view sequence) {
    static constexpr char digits[] = "0123456789abcdef";
    unsigned scalar = 0;
    if (sequence.size() == 2) {
        scalar = ((static_cast<unsigned char>(sequence[0]) & 0x1FU) << 6U) |
                 (static_cast<unsigned char>(sequence[1]) & 0x3FU);
    } else {
        scalar = ((static_cast<unsigned char>(sequence[0]) & 0x0FU) << 12U) |
                 ((static_cast<unsigned char>(sequence[1]) & 0x3FU) << 6U) |
                 (static_cast<unsigned char>(sequence[2]) & 0x3FU);
    }
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) {
        out += digits[(scalar >> static_cast<unsigned>(shift)) & 0xFU];
    }
}

}  // namespace

std::string escapeLogLine(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        const std::size_t invisible = invisibleCharacterLength(line.substr(i));
        if (invisible != 0) {
            appendUnicodeEscape(out, line.substr(i, invisible));
            i += invisible - 1;
        } else if (byte == '\\') {
            out += "\\\\";
        } else if (byte == '\n') {
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

void LogSink::log(LogPriority priority, std::string_view line, const std::optional<LogPeer>& peer) {
    writeEntry(priority, line, peer);
}

void LogSink::writeEntry(LogPriority, std::string_view line, const std::optional<LogPeer>&) {
    writeLine(escapeLogLine(line));
}

std::string priorityPrefix(LogPriority priority) {
    return "<" + std::to_string(static_cast<int>(priority)) + ">";
}

void StderrLogSink::writeEntry(LogPriority priority, std::string_view line,
                               const std::optional<LogPeer>&) {
    writeStderrLine(priorityPrefixes_ ? priorityPrefix(priority) + escapeLogLine(line)
                                      : escapeLogLine(line));
}

void writeStderrLine(std::string_view text) {
    std::string buffer;
    buffer.reserve(text.size() + 1);
    buffer.append(text);
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
