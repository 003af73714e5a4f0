#include "engine/password_check.h"

#include <cstring>

#include "support/md5.h"

namespace pkx {

bool PasswordMatches(const ApplyContext& context, const char* password, uint32_t length) {
    MD5_CTX md5;
    MD5Init(&md5);
    MD5Update(&md5, password, length);
    uint8_t digest[sizeof(context.passwordDigest)];
    MD5Final(digest, &md5);
    return std::memcmp(digest, context.passwordDigest, sizeof digest) == 0;
}

}  // namespace pkx
