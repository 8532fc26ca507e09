#pragma once
// MD5 digests of text, as upper-case hexadecimal.

#include <string>
#include <string_view>

namespace tovrin {

/// The MD5 digest of the UTF-8 bytes of `text` up to its first NUL byte (the NUL and everything
/// after it are not digested), as 32 upper-case hexadecimal digits. Returns "" with a log line
/// only if the digest is unavailable (an OpenSSL configuration without MD5).
std::string MD5String(std::string_view text);

}  // namespace tovrin
