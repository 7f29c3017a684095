// The web page over HTTPS: a certificate and key made by openssl in the test's folder, and
// openssl's own client speaking to the server.
#include "WebTestSupport.h"

#include <cstdio>

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
        " -days 2 -subj /CN=127.0.0.1 -keyout " + FFolder / "key.pem" + " -out " +
        FFolder / "cert.pem" + " 2>&1");
    ASSERT_TRUE(fs::exists(FFolder / "cert.pem")) << Made;
  }

  TWebServerOptions TlsOptions() {
    TWebServerOptions Settings = Options();
    Settings.CertFile = FFolder / "cert.pem";
    Settings.KeyFile = FFolder / "key.pem";
    return Settings;
  }

  // The server's answer to Request over TLS, through openssl's client.
  TAnswer AskTls(const TRequest& Request) {
    WriteFile(FFolder / "request.txt", RequestText(Request));
    return TConnection::Parse(Output("timeout 20 openssl s_client -quiet -connect 127.0.0.1:" +
                                     std::to_string(FPort) + " < " + FFolder / "request.txt" +
                                     " 2>/dev/null"));
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
                                  "ec_paramgen_curve:prime256v1 -out " + FFolder / "other.pem" +
                                  " 2>&1");
  ASSERT_TRUE(fs::exists(FFolder / "other.pem")) << Made;
  Settings = TlsOptions();
  Settings.KeyFile = FFolder / "other.pem";
  EXPECT_NE(std::string::npos, TWebServer(Settings).Start().find("does not belong"));
  Settings = TlsOptions();
  Settings.KeyFile.clear();
  EXPECT_NE(std::string::npos, TWebServer(Settings).Start().find("both"));
}

} // namespace
