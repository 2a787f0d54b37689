#pragma once

#include <string>
#include <string_view>

namespace tavelin::json {

// nlohmann's parser stops at a number beyond a double's range (its error 406), also in a
// value nobody reads, and cannot go on from there. This overwrites each such number of
// `bytes` in `finite`, a copy of `bytes`, with "0.5" and blanks (such a literal has at
// least five bytes, as in 2e308). Reading `finite` gives the same document at the same
// offsets, with a number that is no integer in place of each number that is no integer
// either. The text is cut into tokens as the parser's lexer cuts it, and a number is judged
// as it judges one (strtod, not finite); the scan stops at the first byte that begins no
// token, where the parse stops too. Throws std::bad_alloc when memory runs out.
void replaceOverflows(std::string_view bytes, std::string& finite);

}  // namespace tavelin::json
