// The test server's control side as the other test programs use it.
#include <doctest.h>

#include "test_server.h"

TEST_CASE("the test server takes files and faults and forgets them per prefix")
{
    REQUIRE(!TestServerUrl().empty());
    CHECK(TestServerHttpsPort() > 0);
    std::string path = UniqueUrlPath("smoke.bin");
    std::string other = UniqueUrlPath("smoke.bin");
    CHECK(path != other);
    CHECK(ServeFile(path, std::string("a\0b", 3)));
    CHECK(ServePattern(other, 1000));
    ServerFault fault;
    fault.status = 503;
    fault.body = "{\"error\": \"busy\"}";
    CHECK(SetFault(path, fault));
    CHECK(ClearFault(path));
    CHECK(RequestLog(path).empty());        // control requests are not logged
    CHECK(ResetServer(path));
    CHECK(RemoveFile(other));
    CHECK(PatternBytes(250, 3) == std::string("\xFA\x00\x01", 3));
}
