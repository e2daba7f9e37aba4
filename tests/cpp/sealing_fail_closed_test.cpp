// Sealing fails closed: built with a broker key that cannot be imported, or with none
// (tests/cpp/CMakeLists.txt links this file twice), an Enterprise client must refuse to
// connect at all rather than send the plain password.
#include "support.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace tarvo::test {
namespace {

TEST(SealingFailsClosed, EnterpriseConnectIsRefusedBeforeAnyConnection) {
    SilentListener listener;
    ConnectionLog log;
    SDK sdk{pahoLibrary(), consoleSink()};
    sdk.on_connection(log.handler());
    init(sdk, {.brokerHost = listener.address(),
               .username = "user",
               .password = "plain secret",
               .connectTimeout = 1,
               .edition = "Enterprise"});
    for (int attempt = 0; attempt < 2; ++attempt) {  // no fallback on a second try either
        bool ok = true;
        Output output = captured([&] { ok = sdk.connect(); });
        EXPECT_FALSE(ok);
        EXPECT_EQ(output.err, "[SDK] JWK import failed\n");
        EXPECT_EQ(output.out, "");
    }
    EXPECT_FALSE(listener.wasConnected(300ms));
    EXPECT_FALSE(sdk.is_connected());
    EXPECT_TRUE(log.calls().empty());
}

// The same listener does see an edition that sends no sealed credential: the check
// above would notice a connection.
TEST(SealingFailsClosed, OtherEditionsDoNotSealAndDoConnect) {
    SilentListener listener;
    SDK sdk{pahoLibrary(), consoleSink()};
    init(sdk, {.brokerHost = listener.address(),
               .username = "user",
               .password = "plain secret",
               .connectTimeout = 1,
               .edition = "Community"});
    Output output = captured([&] { EXPECT_FALSE(sdk.connect()); });  // nobody answers
    EXPECT_TRUE(listener.wasConnected()) << output.err;
    EXPECT_TRUE(std::regex_match(output.err, std::regex(R"(\[SDK\] connect failed, rc=-?[0-9]+\n)"))) << output.err;
}

}  // namespace
}  // namespace tarvo::test
