// Contract of the signature service, the same cases in both builds (CryptoAPI
// under Wine, libcrypto on the Linux port) over the same files: keys and
// signatures that the build made with the openssl command line
// (tests/fixtures/keys/make-keys), varied here byte by byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/signature.h"
#include "platform/sysinfo.h"
#include "support/testing.h"

using namespace testing_support;
using platform::SignatureOutcome;

namespace {

std::string KeyFile(const std::string& name) {
  return NativePath(std::string(KESTRO_FIXTURE_DIR) + "/keys/" + name);
}
std::string Key(const std::string& name) { return ReadFile(KeyFile(name)); }

const char* Name(SignatureOutcome o) {
  switch (o) {
    case SignatureOutcome::Valid:
      return "Valid";
    case SignatureOutcome::Mismatch:
      return "Mismatch";
    case SignatureOutcome::KeyUnusable:
      return "KeyUnusable";
    case SignatureOutcome::KeyTooWeak:
      return "KeyTooWeak";
    case SignatureOutcome::FileUnreadable:
      return "FileUnreadable";
    default:
      return "Failed";
  }
}

// The key's modulus as big-endian bytes, from the file make-keys wrote
// beside the key ("openssl rsa -pubin -modulus" prints it in hex).
std::string Modulus(const std::string& pubKey) {
  std::string hex = Key(pubKey.substr(0, pubKey.find('.')) + ".modulus");
  while (!hex.empty() && (hex.back() == '\n' || hex.back() == '\r')) hex.pop_back();
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

std::string FlipBit(std::string bytes, std::size_t at, int bit) {
  bytes[at] = static_cast<char>(bytes[at] ^ (1 << bit));
  return bytes;
}

TEST(PlatformSignature, VerifiesWhatOpensslSignedAndNothingElse) {
  const std::string data = Key("data.bin");
  const std::string good = Key("data.vendor.sig");
  ASSERT_EQ(150000u, data.size());
  ASSERT_EQ(256u, good.size());

  struct Case {
    const char* name;
    std::string key;        // PEM text
    std::string file;       // bytes of the signed file
    std::string signature;  // raw signature bytes
    SignatureOutcome expected;
    unsigned bits;  // the key's size as reported, 0: not checked
  };
  const std::vector<Case> cases = {
      {"good signature", Key("vendor.pub.pem"), data, good, SignatureOutcome::Valid, 2048},
      {"3072-bit key", Key("large.pub.pem"), data, Key("data.large.sig"), SignatureOutcome::Valid,
       3072},
      {"empty file with its own signature", Key("vendor.pub.pem"), "", Key("empty.vendor.sig"),
       SignatureOutcome::Valid, 2048},
      {"PEM with CR LF line ends",
       [] {
         std::string crlf;
         for (char c : Key("vendor.pub.pem")) {
           if (c == '\n') crlf += '\r';
           crlf += c;
         }
         return crlf;
       }(),
       data, good, SignatureOutcome::Valid, 2048},
      {"one bit flipped in the file's first byte", Key("vendor.pub.pem"), FlipBit(data, 0, 0), good,
       SignatureOutcome::Mismatch, 2048},
      {"one bit flipped in the file's last byte", Key("vendor.pub.pem"),
       FlipBit(data, data.size() - 1, 7), good, SignatureOutcome::Mismatch, 2048},
      {"one byte more in the file", Key("vendor.pub.pem"), data + '\0', good,
       SignatureOutcome::Mismatch, 2048},
      {"one bit flipped in the signature", Key("vendor.pub.pem"), data, FlipBit(good, 100, 3),
       SignatureOutcome::Mismatch, 2048},
      {"signature by another key", Key("vendor.pub.pem"), data, Key("data.other.sig"),
       SignatureOutcome::Mismatch, 2048},
      // Numbers no signature by this key can be: the modulus itself and the
      // largest 2048-bit number, both at or above it.
      {"the key's modulus as signature", Key("vendor.pub.pem"), data, Modulus("vendor.pub.pem"),
       SignatureOutcome::Mismatch, 2048},
      {"signature of all one bits", Key("vendor.pub.pem"), data, std::string(256, '\xff'),
       SignatureOutcome::Mismatch, 2048},
      {"signature of all zero bits", Key("vendor.pub.pem"), data, std::string(256, '\0'),
       SignatureOutcome::Mismatch, 2048},
      {"truncated signature", Key("vendor.pub.pem"), data, good.substr(0, good.size() - 1),
       SignatureOutcome::Mismatch, 2048},
      {"half a signature", Key("vendor.pub.pem"), data, good.substr(0, 128),
       SignatureOutcome::Mismatch, 2048},
      {"signature with a byte appended", Key("vendor.pub.pem"), data, good + '\0',
       SignatureOutcome::Mismatch, 2048},
      {"no signature at all", Key("vendor.pub.pem"), data, "", SignatureOutcome::Mismatch, 2048},
      {"signature as base64 text", Key("vendor.pub.pem"), data,
       "c2lnbmF0dXJlIGFzIHRleHQ=", SignatureOutcome::Mismatch, 2048},
      {"empty file, signature of the data", Key("vendor.pub.pem"), "", good,
       SignatureOutcome::Mismatch, 2048},
      {"1024-bit key with its valid signature", Key("weak.pub.pem"), data, Key("data.weak.sig"),
       SignatureOutcome::KeyTooWeak, 1024},
      {"PEM that holds no key", Key("garbage.pub.pem"), data, good, SignatureOutcome::KeyUnusable,
       0},
      {"certificate instead of a key", Key("vendor.crt.pem"), data, good,
       SignatureOutcome::KeyUnusable, 0},
      {"private key instead of the public one", Key("vendor.key"), data, good,
       SignatureOutcome::KeyUnusable, 0},
      {"RSA key in PKCS#1 form", Key("vendor.pkcs1.pem"), data, good, SignatureOutcome::KeyUnusable,
       0},
      {"elliptic-curve key", Key("ec.pub.pem"), data, good, SignatureOutcome::KeyUnusable, 0},
      {"empty key text", "", data, good, SignatureOutcome::KeyUnusable, 0},
      {"key text cut in half", Key("vendor.pub.pem").substr(0, 200), data, good,
       SignatureOutcome::KeyUnusable, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string file = dir / "signed.bin";
    WriteFile(file, c.file);
    const platform::SignatureCheck check = platform::VerifyFileSignature(c.key, file, c.signature);
    EXPECT_EQ(Name(c.expected), std::string(Name(check.outcome))) << c.name << ": " << check.detail;
    if (c.expected == SignatureOutcome::Valid) {
      EXPECT_EQ("", check.detail) << c.name;
    } else {
      EXPECT_NE("", check.detail) << c.name << ": a failure names its cause";
    }
    if (c.bits != 0) {
      EXPECT_EQ(c.bits, check.keyBits) << c.name;
    }
  }
}

TEST(PlatformSignature, MissingOrUnreadableFileIsReportedAsSuch) {
  TempDir dir;
  const std::string key = Key("vendor.pub.pem");
  const std::string good = Key("data.vendor.sig");
  struct Case {
    const char* name;
    std::string path;
  };
  MakeDirs(dir / "folder");
  const std::vector<Case> cases = {
      {"no such file", dir / "missing.bin"},
      {"no such folder", dir / "missing" + platform::kPathDelim + "file.bin"},
      {"a folder", dir / "folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::SignatureCheck check = platform::VerifyFileSignature(key, c.path, good);
    EXPECT_EQ("FileUnreadable", std::string(Name(check.outcome))) << c.name << ": " << check.detail;
  }
}

// The key is judged before the file is opened: a weak or broken key is
// reported as such whatever else is wrong.
TEST(PlatformSignature, KeyIsJudgedBeforeTheFile) {
  TempDir dir;
  EXPECT_EQ(
      "KeyTooWeak",
      std::string(Name(
          platform::VerifyFileSignature(Key("weak.pub.pem"), dir / "missing.bin", "").outcome)));
  EXPECT_EQ("KeyUnusable",
            std::string(
                Name(platform::VerifyFileSignature("not a key", dir / "missing.bin", "").outcome)));
}

}  // namespace
