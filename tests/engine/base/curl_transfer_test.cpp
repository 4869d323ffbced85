// The libcurl exchange against a local HTTP(S) server: bounded bodies, time
// limits, redirects, and certificates checked against the store or a CA file.
#include "engine/base/curl_transfer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/script_server.h"
#include "tests/support/temp_dir.h"

namespace zl {
namespace {

using test::ScriptServer;

const std::string kServer = std::string(ZL_SOURCE_DIR) + "/tests/engine/base/curl_test_server.py";

ScriptServer Server(const std::string& host, const std::string& cert = "", const std::string& key = "") {
    std::vector<std::string> args = {"python3", kServer, "--host", host};
    if (!cert.empty()) args.insert(args.end(), {"--cert", cert, "--key", key});
    return ScriptServer(args);
}

CurlRequest Get(const std::string& url) {
    CurlRequest request;
    request.url = url;
    request.connect_ms = 5000;
    request.total_ms = 10000;
    return request;
}

TEST(CurlTransfer, TheBodyIsBoundedByFailingOrCutting) {
    ScriptServer server = Server("127.0.0.1");
    CurlRequest request = Get(server.Url("/size/100"));
    request.max_body = 100;
    CurlAnswer fits = CurlTransfer(request);
    EXPECT_TRUE(fits.transferred) << fits.error;
    EXPECT_EQ(fits.status, 200);
    EXPECT_EQ(fits.body.size(), 100u);

    request.url = server.Url("/size/5000");
    const CurlAnswer refused = CurlTransfer(request);
    EXPECT_FALSE(refused.transferred);
    EXPECT_FALSE(refused.error.empty());
    EXPECT_LE(refused.body.size(), 100u);

    request.overflow = CurlRequest::Overflow::kTruncate;
    request.post_body = "a=1";  // the statistics posts read their answers this way
    const CurlAnswer cut = CurlTransfer(request);
    EXPECT_TRUE(cut.transferred) << cut.error;
    EXPECT_TRUE(cut.too_long);
    EXPECT_EQ(cut.body, std::string(100, 'x'));
}

TEST(CurlTransfer, TimeLimitsAndRedirectsAreTheCallers) {
    ScriptServer server = Server("127.0.0.1");
    CurlRequest request = Get(server.Url("/hang"));
    request.total_ms = 300;
    const CurlAnswer hung = CurlTransfer(request);
    EXPECT_FALSE(hung.transferred);
    EXPECT_NE(hung.error.find("timed out"), std::string::npos) << hung.error;

    request = Get(server.Url("/redirect"));
    const CurlAnswer kept = CurlTransfer(request);
    EXPECT_TRUE(kept.transferred);
    EXPECT_EQ(kept.status, 302);
    request.max_redirects = 5;
    const CurlAnswer followed = CurlTransfer(request);
    EXPECT_EQ(followed.status, 200);
    EXPECT_EQ(followed.body, std::string(10, 'x'));

    request = Get(server.Url("/size/1"));
    request.protocols = "https";  // a plain http URL is then refused
    EXPECT_FALSE(CurlTransfer(request).transferred);
}

// A self-signed certificate for `ip`, made with the openssl command.
void MakeCertificate(const test::TempDir& dir, const std::string& name, const std::string& ip) {
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + ip +
                                " -addext subjectAltName=IP:" + ip + " -keyout " + dir / (name + ".key") + " -out " +
                                dir / (name + ".crt") + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

TEST(CurlTransfer, CertificatesAreCheckedAgainstTheStoreOrTheCaFile) {
    const test::TempDir dir;
    MakeCertificate(dir, "local", "127.0.0.1");
    MakeCertificate(dir, "other", "127.0.0.2");
    ScriptServer local = Server("127.0.0.1", dir / "local.crt", dir / "local.key");
    CurlRequest request = Get(local.Url("/size/3", "https"));

    // Self-signed and not in the system's store: refused, and said so.
    const CurlAnswer unknown = CurlTransfer(request);
    EXPECT_FALSE(unknown.transferred);
    EXPECT_TRUE(unknown.certificate_refused) << unknown.error;
    EXPECT_NE(unknown.error.find("certificate"), std::string::npos) << unknown.error;

    // Trusted through the CA file.
    request.ca_file = dir / "local.crt";
    const CurlAnswer trusted = CurlTransfer(request);
    EXPECT_TRUE(trusted.transferred) << trusted.error;
    EXPECT_EQ(trusted.body, "xxx");

    // A trusted certificate of another host does not pass for this one.
    ScriptServer impostor = Server("127.0.0.1", dir / "other.crt", dir / "other.key");
    request.url = impostor.Url("/size/3", "https");
    request.ca_file = dir / "other.crt";
    const CurlAnswer wrong_host = CurlTransfer(request);
    EXPECT_FALSE(wrong_host.transferred);
    EXPECT_TRUE(wrong_host.certificate_refused) << wrong_host.error;

    // A CA file that cannot be read trusts nothing.
    request.ca_file = dir / "missing.crt";
    EXPECT_TRUE(CurlTransfer(request).certificate_refused);
}

}  // namespace
}  // namespace zl
