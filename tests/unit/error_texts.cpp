#include <doctest.h>

#include "net/error_texts.h"
#include "net/http.h"

#include <windows.h>

TEST_CASE("transport errors by code")
{
    struct Case { DWORD code; const char* step; uint32_t flags; std::string text; };
    const Case cases[] = {
        { 12002, "Receive", 0, "The server took too long to answer." },
        { 12007, "Send", 0, "Can't reach the server - check your internet connection." },
        { 12029, "Send", 0, "Can't reach the server - check your internet connection." },
        { 12175, "Send", 0x30, "The server's certificate looks expired or not valid yet - check that this PC's date, time and time zone are right. (0x30)" },
        { 12152, "Receive", 0, "Receive failed (12152)." },
        { 12030, "Send", 0, "Send failed (12030)." },
        { 12156, "Receive", 0, "The server's redirect can't be followed (too many, or from https to plain http) - please report this to Ostrel." },
        { 0xFFFFFFFFu, "Download", 0, "Download failed (4294967295)." },
    };
    for (const Case& c : cases)
    {
        SetLastError(c.code);
        CHECK(TransportErrorText(c.step, c.flags) == c.text);
    }
}

TEST_CASE("certificate sentences in their order")
{
    struct Case { uint32_t flags; std::string text; };
    const Case cases[] = {
        { 0x20, "The server's certificate looks expired or not valid yet - check that this PC's date, time and time zone are right. (0x20)" },
        { 0x18, "The certificate is for a different address - a VPN, proxy or antivirus is probably intercepting the connection. (0x18)" },
        { 0x08, "This PC doesn't trust the certificate's authority - run Windows Update, or turn off antivirus HTTPS scanning. (0x8)" },
        { 0x05, "This PC couldn't check whether the certificate was revoked - a firewall may be blocking it. (0x5)" },
        { 0x04, "The server's certificate was revoked. (0x4)" },
        { 0x80000000u, "The secure connection failed - an old Windows version, antivirus or a proxy may be getting in the way. (0x80000000)" },
        { 0x80000040u, "The secure connection failed - an old Windows version, antivirus or a proxy may be getting in the way. (0x80000040)" },
        { 0, "The server's security certificate was refused. (0x0)" },
        { 0x02, "The server's security certificate was refused. (0x2)" },
        { 0x40, "The server's security certificate was refused. (0x40)" },
    };
    for (const Case& c : cases)
        CHECK(SecureFailureText(c.flags) == c.text);
}

TEST_CASE("HttpResult: Ok and the user's sentence")
{
    struct Case { int32_t status; std::string body, error; bool ok; std::string message; };
    const Case cases[] = {
        { 200, "", "", true, "" },
        { 299, "", "", true, "" },
        { 206, "", "cancelled", false, "cancelled" },
        { 0, "", "Bad server address: x", false, "Bad server address: x" },
        { 500, R"({"error":"Maintenance until 10:00."})", "", false, "Maintenance until 10:00." },
        { 500, R"({"error":""})", "", false, "The server answered 500." },   // never an empty sentence
        { 401, "not json", "", false, "Sign in again." },
        { 401, R"({"error":5})", "", false, "Sign in again." },
        { 403, "[]", "", false, "Not allowed." },
        { 413, "", "", false, "Too big to upload." },
        { 404, "", "", false, "The server answered 404." },
        { 503, R"(["error"])", "", false, "The server answered 503." },
        { 300, "", "", false, "The server answered 300." },
        { 301, "", "", false, "The server's redirect can't be followed (too many, or from https to plain http) - please report this to Ostrel." },
        { 308, "", "", false, "The server's redirect can't be followed (too many, or from https to plain http) - please report this to Ostrel." },
        { 199, "", "", false, "The server answered 199." },
    };
    for (const Case& c : cases)
    {
        HttpResult r;
        r.status = c.status;
        r.body = c.body;
        r.error = c.error;
        CHECK(r.Ok() == c.ok);
        if (!c.ok)
            CHECK(r.ErrorMessage() == c.message);
    }
}

TEST_CASE("a proxy's sign-in: one sentence unattended, the page's own when a person can type")
{
    const std::string unattended = ProxySignInText(false, false);
    CHECK(unattended == "The proxy needs a sign-in - run Setup without --auto to enter your user name and password.");
    CHECK(ProxySignInText(false, true) == unattended);
    CHECK(ProxySignInText(true, false) ==
          "The proxy needs a sign-in - enter your user name and password for it, then try again.");
    CHECK(ProxySignInText(true, true) ==
          "The proxy didn't accept that user name and password - check them and try again.");
    // The page shows the two fields only beside the sentences that ask for them.
    CHECK(AsksForProxySignIn(ProxySignInText(true, false)));
    CHECK(AsksForProxySignIn(ProxySignInText(true, true)));
    CHECK_FALSE(AsksForProxySignIn(unattended));
    CHECK_FALSE(AsksForProxySignIn("Can't reach the server - check your internet connection."));
}
