#include "engine/password_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "package/writer/package_writer.h"

namespace pkx {
namespace {

TEST(PasswordCheckTest, OnlyTheExactBytesMatch) {
    packwriter::PackageModel model;
    packwriter::SetPassword(model, "S\x83\x5Cret");
    auto context = std::make_unique<ApplyContext>();
    std::memcpy(context->passwordDigest, model.passwordDigest, sizeof model.passwordDigest);
    const struct {
        std::string typed;
        bool matches;
    } cases[] = {{"S\x83\x5Cret", true},
                 {"s\x83\x5Cret", false},
                 {"S\x83\x5Cre", false},
                 {"S\x83\x5Cret ", false},
                 {"", false}};
    for (const auto& c : cases) {
        EXPECT_EQ(PasswordMatches(*context, c.typed.data(), static_cast<uint32_t>(c.typed.size())),
                  c.matches)
            << c.typed;
    }
}

}  // namespace
}  // namespace pkx
