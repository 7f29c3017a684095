// The web page over HTTPS: a certificate and key made by openssl in the test's folder, and
// openssl's own client speaking to the server.
#include "WebTestSupport.h"

#include <cstdio>
#include <sys/stat.h>

namespace {

using namespace WebTest;

// The output of a shell command, bounded by timeout(1) inside it.
std::string Output(const std::string& Command) {
  std::string Text;
  FILE* Pipe = ::popen(Command.c_str(), "r");
  if (Pipe == nullptr)
    return Text;
  char Buffer[4096];
  for (size_t Got; (Got = std::fread(Buffer, 1, sizeof Buffer, Pipe)) > 0;)
    Text.append(Buffer, Got);
  ::pclose(Pipe);
  return Text;
}

class WebTlsTest : public TServerFixture {
protected:
  void SetUp() override {
    TServerFixture::SetUp();
    const std::string Made = Output(
        "timeout 60 openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
        " -days 2 -subj /CN=127.0.0.1 -keyout " +
        FFolder / "key.pem" + " -out " + FFolder / "cert.pem" + " 2>&1");
    ASSERT_TRUE(fs::exists(FFolder / "cert.pem")) << Made;
  }

  TWebServerOptions TlsOptions() {
    TWebServerOptions Settings = Options();
    Settings.CertFile = FFolder / "cert.pem";
    Settings.KeyFile = FFolder / "key.pem";
    return Settings;
  }

  // The server's answer to Request over TLS, through openssl's client with the options Client
  // (a protocol version, the suites to offer); no answer when they agree on none.
  TAnswer AskTls(const TRequest& Request, const std::string& Client = "") {
    WriteFile(FFolder / "request.txt", RequestText(Request));
    return TConnection::Parse(Output("timeout 20 openssl s_client -quiet " + Client +
                                     " -connect 127.0.0.1:" + std::to_string(FPort) + " < " +
                                     FFolder / "request.txt" + " 2>/dev/null"));
  }
};

TEST_F(WebTlsTest, ThePageAndTheLoginAreServedOverHttpsWithASecureCookie) {
  Start(TlsOptions());
  const TAnswer Page = AskTls({"GET", "/"});
  ASSERT_EQ(200, Page.Status);
  EXPECT_NE(std::string::npos, Page.Body.find("<html"));
  const TAnswer Login = AskTls({"POST", "/api/login", TJson{{"password", Password}}.dump()});
  ASSERT_EQ(200, Login.Status) << Login.Body;
  EXPECT_NE(std::string::npos, Login.Header("set-cookie").find("; Secure"));
  EXPECT_EQ(200, AskTls({"GET", "/api/lines", "", SessionOf(Login)}).Status);
}

TEST_F(WebTlsTest, PlainHttpGetsNoAnswerFromAnHttpsServer) {
  Start(TlsOptions());
  EXPECT_EQ(0, Get("/").Status);
}

TEST_F(WebTlsTest, ACertificateThatCannotBeUsedStopsTheStart) {
  TWebServerOptions Settings = TlsOptions();
  Settings.KeyFile = FFolder / "missing.pem";
  EXPECT_NE(std::string::npos, TWebServer(Settings).Start().find("cannot be read"));
  Settings = TlsOptions();
  WriteFile(FFolder / "broken.pem", "-----BEGIN CERTIFICATE-----\nnot one\n");
  Settings.CertFile = FFolder / "broken.pem";
  EXPECT_NE(std::string::npos, TWebServer(Settings).Start().find("is not a PEM certificate"));
  Settings = TlsOptions();
  Settings.KeyFile = Settings.CertFile;
  EXPECT_NE(std::string::npos, TWebServer(Settings).Start().find("is not a PEM private key"));
  // A key of its own, not the certificate's.
  const std::string Made = Output("timeout 60 openssl genpkey -algorithm EC -pkeyopt "
                                  "ec_paramgen_curve:prime256v1 -out " +
                                  FFolder / "other.pem" + " 2>&1");
  ASSERT_TRUE(fs::exists(FFolder / "other.pem")) << Made;
  Settings = TlsOptions();
  Settings.KeyFile = FFolder / "other.pem";
  EXPECT_NE(std::string::npos, TWebServer(Settings).Start().find("does not belong"));
  Settings = TlsOptions();
  Settings.KeyFile.clear();
  EXPECT_NE(std::string::npos, TWebServer(Settings).Start().find("both"));
}

// A file that is no file (a device, a folder, a pipe) or far too large for a certificate is
// refused with a message, before anything is read from it.
TEST_F(WebTlsTest, CertificateAndKeyAreReadOnlyFromRegularFilesOfASaneSize) {
  TWebServerOptions Settings = TlsOptions();
  Settings.CertFile = "/dev/zero";
  EXPECT_NE(std::string::npos,
            TWebServer(Settings).Start().find("/dev/zero is not a regular file"));
  Settings = TlsOptions();
  Settings.KeyFile = FFolder / "";
  EXPECT_NE(std::string::npos, TWebServer(Settings).Start().find("is not a regular file"));
  ASSERT_EQ(0, ::mkfifo((FFolder / "pipe").c_str(), 0600));
  Settings.KeyFile = FFolder / "pipe";
  EXPECT_NE(std::string::npos, TWebServer(Settings).Start().find("pipe is not a regular file"));
  WriteFile(FFolder / "huge.pem", "");
  fs::resize_file(FFolder / "huge.pem", 64 << 20); // a hole: no disk is used
  Settings = TlsOptions();
  Settings.CertFile = FFolder / "huge.pem";
  EXPECT_NE(std::string::npos, TWebServer(Settings).Start().find("huge.pem is too large"));
}

// Only suites with forward secrecy (ECDHE, DHE) are agreed, and browsers are told to come back
// over HTTPS only. An RSA certificate, with which the old RSA key exchange would work.
TEST_F(WebTlsTest, OnlyForwardSecretSuitesAreAgreedAndHstsIsSent) {
  const std::string Made = Output(
      "timeout 60 openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout " +
      FFolder / "rsa-key.pem" + " -out " + FFolder / "rsa-cert.pem" + " 2>&1");
  ASSERT_TRUE(fs::exists(FFolder / "rsa-cert.pem")) << Made;
  TWebServerOptions Settings = Options();
  Settings.CertFile = FFolder / "rsa-cert.pem";
  Settings.KeyFile = FFolder / "rsa-key.pem";
  Start(std::move(Settings));
  for (const char* Suite : {"AES128-SHA", "AES256-GCM-SHA384", "AES128-SHA256"})
    EXPECT_EQ(0, AskTls({"GET", "/"}, std::string("-tls1_2 -cipher ") + Suite).Status)
        << Suite << " was agreed";
  const TAnswer Page = AskTls({"GET", "/"}, "-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256");
  ASSERT_EQ(200, Page.Status);
  EXPECT_EQ("max-age=31536000", Page.Header("strict-transport-security"));
  const TAnswer Login =
      AskTls({"POST", "/api/login", TJson{{"password", Password}}.dump()}, "-tls1_3");
  EXPECT_EQ(200, Login.Status);
  EXPECT_EQ("max-age=31536000", Login.Header("strict-transport-security"));
}

} // namespace
