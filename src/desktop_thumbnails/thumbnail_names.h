#pragma once

#include <string>
#include <string_view>

namespace quillmere {

// The URI the desktop's thumbnail cache knows a file by: "file://" and the absolute path, every
// byte outside what a URI path may hold as it is percent-encoded (upper-case hex), '/' kept. The
// bytes kept are those the common desktop libraries keep, so that an entry written here is found
// by a file manager and the other way round.
std::string thumbnailUri(std::string_view absolutePath);

// The entry's file name for that URI: the lower-case hex MD5 of its bytes, then ".png".
std::string thumbnailEntryName(std::string_view uri);

}  // namespace quillmere
