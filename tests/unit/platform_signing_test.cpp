// Contract of the signing service, the same cases in both builds (CryptoAPI
// under Wine, libcrypto on the Linux port): PKCS#1 v1.5 signatures are
// deterministic, so a signature must equal, byte for byte, the one the
// openssl command line made with the same key over the same file
// (tests/fixtures/keys/make-keys), and the public half must be the one
// "openssl rsa -pubout" wrote.
#include <gtest/gtest.h>

#include <string>

#include "platform/common/signing_steps.h"
#include "platform/signature.h"
#include "platform/signing.h"
#include "platform/sysinfo.h"
#include "support/testing.h"
#include "support/trust.h"
#include "support/xdotool.h"

using namespace testing_support;
using platform::SigningOutcome;

namespace {

std::string KeyFile(const std::string& name) {
  return NativePath(std::string(KESTRO_FIXTURE_DIR) + "/keys/" + name);
}
std::string Key(const std::string& name) { return ReadFile(KeyFile(name)); }

// PEM text without line ends, so CR LF and LF compare alike.
std::string Flat(std::string pem) {
  std::string out;
  for (char c : pem) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

TEST(PlatformSigning, SignsAsOpensslDoes) {
  struct Case {
    const char* name;
    const char* key;
    const char* file;
    const char* expected;  // the openssl signature made by make-keys
    const char* publicKey;
  };
  const Case cases[] = {
      {"PKCS#8 key", "vendor.key", "data.bin", "data.vendor.sig", "vendor.pub.pem"},
      {"PKCS#1 key", "vendor.pkcs1.key", "data.bin", "data.vendor.sig", "vendor.pub.pem"},
      {"3072-bit key", "large.key", "data.bin", "data.large.sig", "large.pub.pem"},
      {"empty file", "vendor.key", "empty.bin", "empty.vendor.sig", "vendor.pub.pem"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::FileSigning s = platform::SignFile(Key(c.key), KeyFile(c.file));
    ASSERT_EQ(s.outcome, SigningOutcome::Signed) << s.detail;
    EXPECT_TRUE(s.signature == Key(c.expected)) << "signature differs from openssl's";
    EXPECT_EQ(Flat(s.publicKeyPem), Flat(Key(c.publicKey)));
    EXPECT_EQ(s.keyBits, std::string(c.key) == "large.key" ? 3072u : 2048u);
    EXPECT_EQ(platform::VerifyFileSignature(s.publicKeyPem, KeyFile(c.file), s.signature).outcome,
              platform::SignatureOutcome::Valid);
  }
}

TEST(PlatformSigning, RefusesKeysItMustNotUse) {
  struct Case {
    const char* name;
    std::string pem;
    SigningOutcome outcome;
    const char* detail;  // a piece of the detail
  };
  const Case cases[] = {
      {"below 2048 bits", Key("weak.key"), SigningOutcome::KeyTooWeak, "1024 bits"},
      {"elliptic curve", Key("ec.key"), SigningOutcome::KeyUnusable, "not an RSA key"},
      {"public key only", Key("vendor.pub.pem"), SigningOutcome::KeyUnusable, "no PEM"},
      {"certificate", Key("vendor.crt.pem"), SigningOutcome::KeyUnusable, "no PEM"},
      {"pass phrase", Key("vendor.protected.key"), SigningOutcome::KeyUnusable, "pass phrase"},
      {"empty text", "", SigningOutcome::KeyUnusable, "no PEM"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::FileSigning s = platform::SignFile(c.pem, KeyFile("data.bin"));
    EXPECT_EQ(s.outcome, c.outcome) << s.detail;
    EXPECT_NE(s.detail.find(c.detail), std::string::npos) << s.detail;
    EXPECT_TRUE(s.signature.empty());
  }
  const platform::FileSigning missing =
      platform::SignFile(Key("vendor.key"), KeyFile("no-such-file.bin"));
  EXPECT_EQ(missing.outcome, SigningOutcome::FileUnreadable) << missing.detail;
}

TEST(PlatformSigning, Sha256OfAFileIsOpensslsDigest) {
  for (const char* file : {"data.bin", "empty.bin"}) {
    SCOPED_TRACE(file);
    std::string expected;
    ASSERT_TRUE(RunUnixScript(
        "openssl dgst -sha256 -r " + ShellQuote(UnixPathOf(KeyFile(file))) + " | cut -c1-64",
        &expected));
    while (!expected.empty() && (expected.back() == '\n' || expected.back() == '\r')) {
      expected.pop_back();
    }
    std::string hex;
    ASSERT_TRUE(platform::FileSha256(KeyFile(file), hex));
    EXPECT_EQ(hex, expected);
  }
  std::string hex, why;
  EXPECT_FALSE(platform::FileSha256(KeyFile("no-such-file.bin"), hex, &why));
  EXPECT_FALSE(why.empty());
}

// The PKCS#8 wrapper, opened by the shared step that the Windows build needs
// (CryptoAPI reads only the RSA key inside).
TEST(PlatformSigning, Pkcs8WrapperGivesTheRsaKeyInside) {
  const std::string rsaOid = "\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x01\x01";
  const std::string ecOid = std::string("\x06\x07\x2a\x86\x48\xce\x3d\x02\x01", 9);
  const auto info = [](const std::string& oid, const std::string& key) {
    const std::string algorithm =
        "\x30" + std::string(1, char(oid.size() + 2)) + oid + "\x05" + std::string(1, '\0');
    const std::string octets = "\x04" + std::string(1, char(key.size())) + key;
    const std::string body = std::string("\x02\x01\x00", 3) + algorithm + octets;
    return "\x30" + std::string(1, char(body.size())) + body;
  };
  // The same with a long-form length on the outer sequence.
  const std::string longForm = [&] {
    const std::string whole = info(rsaOid, "KEY");
    return "\x30\x81" + std::string(1, whole[1]) + whole.substr(2);
  }();
  struct Case {
    const char* name;
    std::string der;
    bool ok;
    const char* result;  // the key, or a piece of the failure
  };
  const Case cases[] = {
      {"RSA key", info(rsaOid, "KEY"), true, "KEY"},
      {"long-form length", longForm, true, "KEY"},
      {"elliptic curve", info(ecOid, "KEY"), false, "not an RSA key (algorithm 1.2.840.10045.2.1)"},
      {"cut short", info(rsaOid, "KEY").substr(0, 10), false, "not a PKCS#8 private key"},
      {"empty", "", false, "not a PKCS#8 private key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string key;
    platform::FileSigning failure;
    EXPECT_EQ(platform::RsaKeyOfPkcs8(c.der, key, failure), c.ok);
    if (c.ok) {
      EXPECT_EQ(key, c.result);
    } else {
      EXPECT_NE(failure.detail.find(c.result), std::string::npos) << failure.detail;
    }
  }
}

// The same step over the vendor key as openssl writes it: the RSA key inside
// is exactly what openssl gives in PKCS#1 form.
TEST(PlatformSigning, Pkcs8WrapperOfARealKey) {
  TempDir dir;
  const std::string pkcs8 = dir / "vendor.p8.der";
  const std::string pkcs1 = dir / "vendor.p1.der";
  const std::string key = UnixPathOf(KeyFile("vendor.key"));
  std::string output;
  ASSERT_TRUE(RunUnixScript("openssl pkcs8 -topk8 -nocrypt -in " + ShellQuote(key) +
                                " -outform DER -out " + ShellQuote(UnixPathOf(pkcs8)) +
                                " && openssl rsa -in " + ShellQuote(key) +
                                " -traditional -outform DER -out " + ShellQuote(UnixPathOf(pkcs1)),
                            &output))
      << output;
  std::string rsaKey;
  platform::FileSigning failure;
  ASSERT_TRUE(platform::RsaKeyOfPkcs8(ReadFile(pkcs8), rsaKey, failure)) << failure.detail;
  EXPECT_TRUE(rsaKey == ReadFile(pkcs1)) << "the RSA key inside differs from openssl's";
}

}  // namespace
