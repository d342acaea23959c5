#pragma once

#include <string>
#include <string_view>

namespace quillmere {

// The wording of every decoding refusal, shared by the readers of each record.

// Where in the document a value sits: `"items"[2]."renderPath"`.
std::string jsonPlace(const std::string& where, const char* key);

// Throws DecodingError "无法读取<record>：<detail>。".
[[noreturn]] void failDecoding(const char* record, const std::string& detail);

// JSON text never holds a raw NUL byte, but the reader takes one outside a string for the end of
// the input and would ignore everything after it; the whole document is read or none of it.
void requireNoNul(std::string_view bytes, const char* record);

// Where the reader gave up on `bytes`, `readCount` bytes in (the reader's count, which takes the
// end of the input for one more byte), told by line and column as the reader counts them: lines
// from 1, columns the bytes read since the last line feed. The reader's English reason is left
// out, the line and column say enough to find the fault; past the end, the input ended before the
// document did.
std::string whereParsingStopped(std::string_view bytes, std::size_t readCount);

}  // namespace quillmere
