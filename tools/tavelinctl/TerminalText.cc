#include "tools/tavelinctl/TerminalText.h"

#include <unicode/utf8.h>

#include <cstdint>

namespace tavelin::tavelinctl {

std::string shownForTerminal(std::string_view text) {
    static constexpr std::string_view hexDigits = "0123456789ABCDEF";
    std::string shown = "\"";
    const auto appendByte = [&shown](unsigned char byte) {
        shown += "\\x";
        shown += hexDigits[byte >> 4U];
        shown += hexDigits[byte & 0x0FU];
    };
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    std::size_t offset = 0;
    while (offset < text.size()) {
        const std::size_t start = offset;
        UChar32 codePoint = 0;
        U8_NEXT(bytes, offset, text.size(), codePoint);
        if (codePoint < 0) {
            for (std::size_t at = start; at < offset; ++at) {
                appendByte(bytes[at]);
            }
        } else if (codePoint < 0x20 || codePoint == 0x7F) {
            appendByte(static_cast<unsigned char>(codePoint));
        } else {
            if (codePoint == '"' || codePoint == '\\') {
                shown += '\\';
            }
            shown.append(text, start, offset - start);
        }
    }
    shown += '"';
    return shown;
}

}  // namespace tavelin::tavelinctl
