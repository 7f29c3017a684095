// The web page's password hash, sessions, CSRF tokens and the slowing down of wrong
// passwords, with the clock given by the test.
#include "WebTestSupport.h"

#include <atomic>
#include <set>
#include <thread>

namespace {

using namespace WebTest;

TEST(WebPasswordTest, TheHashIsSaltedAndSlowAndOnlyTheRightPasswordMeetsIt) {
  const std::string Hash = PasswordHash();
  EXPECT_TRUE(CheckWebPasswordHash(Hash));
  EXPECT_EQ(0u, Hash.rfind("$argon2id$", 0)) << Hash;
  EXPECT_EQ(std::string::npos, Hash.find(Password));
  EXPECT_NE(Hash, HashWebPassword(Password)) << "two hashes of one password share a salt";
  EXPECT_EQ("", HashWebPassword(""));
  EXPECT_FALSE(CheckWebPasswordHash(""));
  EXPECT_FALSE(CheckWebPasswordHash("plain text"));
  TWebSessions Sessions(Hash);
  std::string Session, Csrf;
  long Retry = 0;
  EXPECT_EQ(ltWrong, Sessions.Login("a", "Correct horse", 1000, Session, Csrf, Retry));
  EXPECT_EQ(ltOk, Sessions.Login("a", Password, 1000, Session, Csrf, Retry));
}

TEST(WebSessionsTest, ASessionLivesItsTimeAndItsTokenIsItsOwn) {
  TWebSessionLimits Limits;
  Limits.SessionSeconds = 100;
  TWebSessions Sessions(PasswordHash(), Limits);
  std::string Session, Csrf, Other, OtherCsrf;
  long Retry = 0;
  ASSERT_EQ(ltOk, Sessions.Login("a", Password, 1000, Session, Csrf, Retry));
  ASSERT_EQ(ltOk, Sessions.Login("b", Password, 1000, Other, OtherCsrf, Retry));
  EXPECT_NE(Session, Other);
  EXPECT_NE(Csrf, OtherCsrf);
  EXPECT_EQ(Csrf, Sessions.Csrf(Session, 1099));
  EXPECT_TRUE(Sessions.CsrfMatches(Session, Csrf, 1099));
  EXPECT_FALSE(Sessions.CsrfMatches(Session, OtherCsrf, 1099));
  EXPECT_FALSE(Sessions.CsrfMatches(Session, "", 1099));
  EXPECT_FALSE(Sessions.CsrfMatches("", "", 1099));
  EXPECT_EQ("", Sessions.Csrf(Session, 1100)) << "a session outlived its time";
  EXPECT_EQ("", Sessions.Csrf(Session, 1000)) << "an expired session came back";
  Sessions.Logout(Other);
  EXPECT_EQ("", Sessions.Csrf(Other, 1001));
}

TEST(WebSessionsTest, TheOldestSessionGoesWhenTooManyAreOpen) {
  TWebSessionLimits Limits;
  Limits.MaxSessions = 3;
  TWebSessions Sessions(PasswordHash(), Limits);
  std::vector<std::string> Opened;
  for (int I = 0; I < 4; ++I) {
    std::string Session, Csrf;
    long Retry = 0;
    ASSERT_EQ(ltOk, Sessions.Login("a", Password, 1000 + I, Session, Csrf, Retry));
    Opened.push_back(Session);
  }
  EXPECT_EQ("", Sessions.Csrf(Opened[0], 1010));
  for (int I = 1; I < 4; ++I)
    EXPECT_NE("", Sessions.Csrf(Opened[I], 1010)) << I;
}

TEST(WebSessionsTest, WrongPasswordsMakeTheirAddressWaitLongerEachTime) {
  TWebSessionLimits Limits;
  Limits.FreeFailures = 2;
  Limits.MaxDelaySeconds = 8;
  TWebSessions Sessions(PasswordHash(), Limits);
  std::string Session, Csrf;
  long Retry = 0;
  EXPECT_EQ(ltWrong, Sessions.Login("10.0.0.9", "x", 1000, Session, Csrf, Retry));
  EXPECT_EQ(ltWrong, Sessions.Login("10.0.0.9", "x", 1000, Session, Csrf, Retry));
  EXPECT_EQ(ltWrong, Sessions.Login("10.0.0.9", "x", 1000, Session, Csrf, Retry));
  EXPECT_EQ(ltThrottled, Sessions.Login("10.0.0.9", Password, 1000, Session, Csrf, Retry));
  EXPECT_EQ(1, Retry);
  EXPECT_EQ(ltOk, Sessions.Login("10.0.0.8", Password, 1000, Session, Csrf, Retry))
      << "another address was held back";
  EXPECT_EQ(ltWrong, Sessions.Login("10.0.0.9", "x", 1001, Session, Csrf, Retry));
  EXPECT_EQ(ltThrottled, Sessions.Login("10.0.0.9", "x", 1002, Session, Csrf, Retry));
  EXPECT_EQ(1, Retry);
  std::time_t Now = 1003;
  for (int I = 0; I < 6; ++I) {
    ASSERT_EQ(ltWrong, Sessions.Login("10.0.0.9", "x", Now, Session, Csrf, Retry));
    ASSERT_EQ(ltThrottled, Sessions.Login("10.0.0.9", "x", Now, Session, Csrf, Retry));
    EXPECT_LE(Retry, 8);
    Now += Retry;
  }
  EXPECT_EQ(8, Retry) << "the wait did not grow to its bound";
  EXPECT_EQ(ltOk, Sessions.Login("10.0.0.9", Password, Now, Session, Csrf, Retry));
  EXPECT_EQ(ltWrong, Sessions.Login("10.0.0.9", "x", Now, Session, Csrf, Retry));
  EXPECT_EQ(ltWrong, Sessions.Login("10.0.0.9", "x", Now, Session, Csrf, Retry))
      << "a right password did not clear the address's record";
}

TEST(WebSessionsTest, GuessesSentAtOnceAreHeldBackLikeGuessesInARow) {
  TWebSessionLimits Limits;
  Limits.FreeFailures = 2;
  TWebSessions Sessions(PasswordHash(), Limits);
  std::atomic<int> Wrong{0}, Throttled{0};
  std::vector<std::thread> Guessers;
  for (int I = 0; I < 8; ++I)
    Guessers.emplace_back([&] {
      std::string Session, Csrf;
      long Retry = 0;
      const TLoginResult Result = Sessions.Login("10.0.0.9", "guess", 1000, Session, Csrf, Retry);
      if (Result == ltWrong)
        ++Wrong;
      else if (Result == ltThrottled)
        ++Throttled;
    });
  for (std::thread& Guesser : Guessers)
    Guesser.join();
  EXPECT_EQ(3, Wrong.load()) << "more guesses were checked than one after another would be";
  EXPECT_EQ(5, Throttled.load());
}

// Guesses spread over many addresses, each within its free failures, are held back together;
// the owner's session lives on, and the address the owner logged in from is not held back.
TEST(WebSessionsTest, GuessesFromManyAddressesAreHeldBackTogether) {
  TWebSessions Sessions(PasswordHash());
  std::string OwnerSession, OwnerCsrf, Session, Csrf;
  long Retry = 0;
  ASSERT_EQ(ltOk, Sessions.Login("192.0.2.1", Password, 1000, OwnerSession, OwnerCsrf, Retry));
  int Checked = 0, HeldBack = 0;
  for (int Round = 0; Round < 2; ++Round)
    for (int Address = 0; Address < 40; ++Address) {
      const TLoginResult Result = Sessions.Login("198.51.100." + std::to_string(Address), "guess",
                                                 1000, Session, Csrf, Retry);
      ++(Result == ltWrong ? Checked : HeldBack);
    }
  EXPECT_LE(Checked, 20) << "the guesses of 40 addresses were all checked";
  EXPECT_EQ(80, Checked + HeldBack);
  EXPECT_EQ(OwnerCsrf, Sessions.Csrf(OwnerSession, 1001));
  EXPECT_EQ(ltThrottled, Sessions.Login("203.0.113.5", Password, 1001, Session, Csrf, Retry));
  EXPECT_GE(Retry, 1);
  EXPECT_EQ(ltOk, Sessions.Login("192.0.2.1", Password, 1001, Session, Csrf, Retry))
      << "the owner's address was held back with the guessers";
  EXPECT_EQ(ltOk, Sessions.Login("203.0.113.5", Password, 1000 + 86400, Session, Csrf, Retry))
      << "the guesses of long ago still hold the page shut";
}

// A new password ends every session at once; the old one opens none from then on.
TEST(WebSessionsTest, ANewPasswordHashEndsEverySession) {
  TWebSessions Sessions(PasswordHash());
  std::string Session, Csrf, Other, OtherCsrf;
  long Retry = 0;
  ASSERT_EQ(ltOk, Sessions.Login("a", Password, 1000, Session, Csrf, Retry));
  ASSERT_EQ(ltOk, Sessions.Login("b", Password, 1000, Other, OtherCsrf, Retry));
  Sessions.SetPasswordHash(HashWebPassword("a kettle on the hob"));
  EXPECT_EQ("", Sessions.Csrf(Session, 1001));
  EXPECT_FALSE(Sessions.CsrfMatches(Other, OtherCsrf, 1001));
  EXPECT_EQ(ltWrong, Sessions.Login("a", Password, 1001, Session, Csrf, Retry));
  EXPECT_EQ(ltOk, Sessions.Login("a", "a kettle on the hob", 1001, Session, Csrf, Retry));
  Sessions.SetPasswordHash("");
  EXPECT_EQ("", Sessions.Csrf(Session, 1002)) << "a removed password left the page open";
  EXPECT_EQ(ltWrong, Sessions.Login("a", "a kettle on the hob", 1002, Session, Csrf, Retry));
}

TEST(WebSessionsTest, TokensAreRandomHex) {
  std::set<std::string> Seen;
  for (int I = 0; I < 100; ++I) {
    const std::string Token = RandomToken();
    EXPECT_EQ(64u, Token.size());
    EXPECT_EQ(std::string::npos, Token.find_first_not_of("0123456789abcdef"));
    Seen.insert(Token);
  }
  EXPECT_EQ(100u, Seen.size());
}

} // namespace
