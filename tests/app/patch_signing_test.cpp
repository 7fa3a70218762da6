// Signing of finished patches on the host: the signature verifies and covers the payload,
// the records and the archive are still found where the updater looks for them, and a
// failed signing leaves no output behind. Certificates are made for each run; no
// time-stamp server is ever contacted.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "app/payload_format.h"
#include "archive/gca_archive.h"
#include "tools/patch_builder.h"
#include "tools/patch_signer.h"
#include "host_files.h"

namespace fs = std::filesystem;

namespace {

using host_files::ReadAll;
using host_files::Write;

// Whether a work directory of the build is left next to the output.
bool WorkDirectoryLeft(const std::string& output) {
  const fs::path out = fs::path(output);
  const std::string prefix = out.filename().string() + ".work";
  for (const auto& entry : fs::directory_iterator(out.parent_path())) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) return true;
  }
  return false;
}

std::string ReadText(const fs::path& path) {
  const std::vector<uint8_t> bytes = ReadAll(path);
  return std::string(bytes.begin(), bytes.end());
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs a shell command; its exit code, with its output in output when asked for.
int RunShell(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = popen(("(" + command + ") 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
  const int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Have(const char* program) { return RunShell(std::string("command -v ") + program + " >/dev/null") == 0; }

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// A PE32 image with two sections ending at 0x1400, followed by 0x40 bytes of debris.
void WriteStub(const fs::path& path) {
  std::vector<uint8_t> pe(0x1440, 0xCC);
  std::memset(pe.data(), 0, 0x400);
  auto put16 = [&](size_t at, uint32_t v) {
    pe[at] = static_cast<uint8_t>(v);
    pe[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) pe[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  pe[0] = 'M';
  pe[1] = 'Z';
  put(0x3c, 0x80);
  std::memcpy(&pe[0x80], "PE\0\0", 4);
  put16(0x84, 0x14c);  // i386
  put16(0x86, 2);
  put16(0x94, 0xe0);
  put16(0x96, 0x102);
  const size_t opt = 0x98;
  put16(opt, 0x10b);
  put(opt + 32, 0x1000);  // section alignment
  put(opt + 36, 0x200);   // file alignment
  put(opt + 56, 0x3000);  // image size
  put(opt + 60, 0x400);   // header size
  put16(opt + 68, 2);     // GUI subsystem
  put(opt + 92, 16);      // data directories
  const size_t table = opt + 0xe0;
  std::memcpy(&pe[table], ".text", 5);
  put(table + 8, 0x800);
  put(table + 12, 0x1000);
  put(table + 16, 0x800);
  put(table + 20, 0x400);
  std::memcpy(&pe[table + 40], ".data", 5);
  put(table + 48, 0x1000);
  put(table + 52, 0x2000);
  put(table + 56, 0x800);
  put(table + 60, 0xc00);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(pe.data()), pe.size());
}

std::string ArchivePathOf(const fs::path& path) {
  std::string text = path.string();
  for (char& c : text) c = c == '/' ? '\\' : c;
  return text;
}

void Pack(const fs::path& dat, const fs::path& source) {
  gca::GcaArchive builder;
  ASSERT_TRUE(builder.PrepareBuffers());
  builder.CompressData = false;
  builder.SetArchivePath(ArchivePathOf(dat));
  builder.SetSourceList({ArchivePathOf(source)});
  ASSERT_TRUE(builder.Build());
}

// The patch archive as the updater opens it: from the archive tag found in the first
// 1 MiB, 16 bytes on; every entry is extracted below out.
struct OpenedPatch {
  PayloadView View;
  std::set<std::string> Entries;
  bool Opened = false;
  bool Extracted = true;
};

OpenedPatch OpenPatch(const fs::path& patch, const fs::path& out) {
  OpenedPatch result;
  const std::vector<uint8_t> bytes = ReadAll(patch);
  result.View = ParsePayload(bytes.data(), static_cast<size_t>(SearchWindowSize(bytes.size())));
  if (result.View.ArchiveTagPosition < 0) return result;
  gca::ArchiveHandle handle;
  handle.Create();
  if (!handle.PrepareBuffers()) return result;
  handle.SetArchivePath(ArchivePathOf(patch));
  handle.SetStartOffset(result.View.ArchiveTagPosition + 16);
  result.Opened = handle.Open();
  fs::create_directories(out);
  handle.SetOutputDirectory(ArchivePathOf(out));
  for (int32_t i = 0; result.Opened && i < handle.EntryCount(); ++i) {
    result.Entries.insert(handle.EntryName(i));
    result.Extracted = handle.ExtractEntry(i) && result.Extracted;
  }
  handle.Close();
  handle.ReleaseBuffers();
  return result;
}

class PatchSigningTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keys_ = new fs::path(fs::temp_directory_path() / ("patch_signing_keys_" + std::to_string(::getpid())));
    fs::remove_all(*keys_);
    fs::create_directories(*keys_);
    if (!Have("openssl") || !Have("osslsigncode")) return;
    const std::string k = Quote(keys_->string());
    // A throw-away code-signing identity, a second key that does not belong to it, and
    // the identity as a password-protected PKCS#12 file.
    Write(*keys_ / "pass.txt", "patch test secret\n");
    const std::string make =
        "cd " + k +
        " && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2"
        " -subj '/CN=Patch Test Publisher' -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature"
        " && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out other.pem"
        " && openssl pkcs12 -export -inkey key.pem -in cert.pem -out identity.p12 -passout file:pass.txt";
    std::string output;
    made_ = RunShell(make, &output) == 0;
    if (!made_) std::fprintf(stderr, "%s\n", output.c_str());
  }
  static void TearDownTestSuite() {
    fs::remove_all(*keys_);
    delete keys_;
  }

  void SetUp() override {
    // The bootstrap installs both programs: a machine without them fails here, loudly.
    ASSERT_TRUE(Have("openssl")) << "openssl is needed to make the test certificates";
    ASSERT_TRUE(Have("osslsigncode")) << "osslsigncode is needed to sign and verify patches";
    ASSERT_TRUE(made_) << "making the test certificates failed";
    root_ = fs::temp_directory_path() / ("patch_signing_test_" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    WriteStub(root_ / "updater.exe");
    Write(root_ / "old/game.exe", "old game");
    Write(root_ / "new/game.exe", "new game");
    Write(root_ / "new/docs/notes.txt", "what changed");
    Write(root_ / "old-src/data/maps/m1.txt", "map 1");
    Write(root_ / "new-src/data/maps/m1.txt", "map 1, patched");
    Pack(root_ / "old/data.dat", root_ / "old-src/data");
    Pack(root_ / "new/data.dat", root_ / "new-src/data");
    options_.Stub = (root_ / "updater.exe").string();
    options_.OldDir = (root_ / "old").string();
    options_.NewDir = (root_ / "new").string();
    options_.Title = "Sample Quest";
    options_.OldVersion = "1.0.0";
    options_.NewVersion = "1.1.0";
    options_.CheckFile = "game.exe";
    options_.Output = (root_ / "patch.exe").string();
  }
  void TearDown() override { fs::remove_all(root_); }

  SignOptions Identity() const {
    SignOptions sign;
    sign.Certificate = (*keys_ / "cert.pem").string();
    sign.Key = (*keys_ / "key.pem").string();
    return sign;
  }
  int Verify(const fs::path& file, std::string* output = nullptr) const {
    return RunShell("osslsigncode verify -CAfile " + Quote((*keys_ / "cert.pem").string()) + " -in " + Quote(file.string()),
               output);
  }

  static fs::path* keys_;
  static bool made_;
  fs::path root_;
  PatchOptions options_;
};

fs::path* PatchSigningTest::keys_ = nullptr;
bool PatchSigningTest::made_ = false;

TEST_F(PatchSigningTest, SignedPatchVerifiesAndStillApplies) {
  PatchSummary plain_summary, signed_summary;
  std::string error;
  PatchOptions plain = options_;
  plain.Output = (root_ / "plain.exe").string();
  ASSERT_TRUE(BuildPatch(plain, plain_summary, error)) << error;
  EXPECT_EQ(plain_summary.SignatureSize, 0u);
  PatchOptions o = options_;
  o.Sign = Identity();
  o.Sign.Description = "Sample Quest 1.1.0 patch";
  ASSERT_TRUE(BuildPatch(o, signed_summary, error)) << error;
  EXPECT_FALSE(WorkDirectoryLeft(o.Output));

  std::string verified;
  EXPECT_EQ(Verify(o.Output, &verified), 0) << verified;
  EXPECT_NE(Verify(plain.Output), 0);  // the check can fail

  // The table lies behind the archive, 8-byte aligned; everything from the payload to the
  // end of the archive is unchanged.
  const std::vector<uint8_t> a = ReadAll(plain.Output);
  const std::vector<uint8_t> b = ReadAll(o.Output);
  ASSERT_EQ(a.size(), plain_summary.PatchSize);
  ASSERT_EQ(b.size(), signed_summary.PatchSize);
  uint64_t offset = 0, length = 0;
  ASSERT_TRUE(PeCertificateTable(b.data(), b.size(), offset, length));
  EXPECT_EQ(offset % 8, 0u);
  EXPECT_EQ(length, signed_summary.SignatureSize);
  EXPECT_EQ(offset + length, b.size());
  // Signing a finished patch changes two header fields (check sum and security directory)
  // and appends; the payload and the archive stay byte for byte. (Two builds differ in the
  // times of the staged directories, so the plain patch is signed here for the comparison.)
  ASSERT_TRUE(SignFile(o.Sign, plain.Output, (root_ / "resigned.exe").string(), (root_ / "sign.log").string(), error))
      << error;
  const std::vector<uint8_t> c = ReadAll(root_ / "resigned.exe");
  ASSERT_GT(c.size(), a.size());
  size_t security = 0;
  ASSERT_TRUE(PeCertificateTable(c.data(), c.size(), offset, length, &security));
  // The same patch signed: its table starts at the unsigned end of file, padded to 8.
  EXPECT_GE(offset, a.size());
  EXPECT_LT(offset, a.size() + 8);
  EXPECT_EQ(offset + length, c.size());
  for (size_t i = 0; i < a.size(); ++i) {
    const bool header_field = (i >= 0xd8 && i < 0xdc) || (i >= security && i < security + 8);
    if (!header_field) {
      ASSERT_EQ(a[i], c[i]) << "byte " << i;
    }
  }
  ASSERT_TRUE(PeCertificateTable(b.data(), b.size(), offset, length));
  EXPECT_EQ(Get32(b, static_cast<size_t>(offset) + 4), 0x00020200u);  // revision 2, PKCS#7 data

  const OpenedPatch opened = OpenPatch(o.Output, root_ / "out");
  const OpenedPatch reference = OpenPatch(plain.Output, root_ / "reference");
  EXPECT_TRUE(opened.View.HasTitle && opened.View.HasVersions && opened.View.HasOldCheck && opened.View.HasNewCheck);
  EXPECT_TRUE(opened.View.TimesComplete);
  EXPECT_EQ(opened.View.Records.Title, "Sample Quest");
  EXPECT_EQ(opened.View.Records.NewCheckHash, reference.View.Records.NewCheckHash);
  EXPECT_EQ(opened.View.ArchiveTagPosition, reference.View.ArchiveTagPosition);
  ASSERT_TRUE(opened.Opened);
  EXPECT_TRUE(opened.Extracted);
  EXPECT_EQ(opened.Entries, reference.Entries);
  for (const char* name : {"game.exe", "docs\\notes.txt", "___\\data\\maps\\m1.txt"}) {
    EXPECT_EQ(opened.Entries.count(name), 1u) << name;
  }
  EXPECT_EQ(ReadText(root_ / "out/game.exe"), "new game");
  EXPECT_EQ(ReadText(root_ / "out/___/data/maps/m1.txt"), "map 1, patched");

  // The signature covers the archive: one changed byte in it breaks the signature.
  std::vector<uint8_t> tampered = b;
  tampered[static_cast<size_t>(opened.View.ArchiveTagPosition) + 40] ^= 1;
  std::ofstream(root_ / "tampered.exe", std::ios::binary)
      .write(reinterpret_cast<const char*>(tampered.data()), static_cast<std::streamsize>(tampered.size()));
  EXPECT_NE(Verify(root_ / "tampered.exe"), 0);
}

// The command line: a PKCS#12 identity with its password in a file, then --show.
TEST_F(PatchSigningTest, MkpatchSignsWithPkcs12AndShowsTheSignature) {
  const char* mkpatch = std::getenv("GU_MKPATCH");
  ASSERT_NE(mkpatch, nullptr) << "GU_MKPATCH names the mkpatch program";
  std::string output;
  ASSERT_EQ(RunShell(Quote(mkpatch) + " --help", &output), 0);
  for (const char* option : {"--sign-cert", "--sign-key", "--sign-pkcs12", "--sign-pass-file", "--sign-timestamp"}) {
    EXPECT_NE(output.find(option), std::string::npos) << option;
  }
  const std::string build = Quote(mkpatch) + " --stub " + Quote(options_.Stub) + " --old " + Quote(options_.OldDir) +
                            " --new " + Quote(options_.NewDir) + " --title 'Sample Quest' --old-version 1.0.0" +
                            " --new-version 1.1.0 --check-file game.exe -o " + Quote(options_.Output) +
                            " --sign-pkcs12 " + Quote((*keys_ / "identity.p12").string());
  ASSERT_EQ(RunShell(build + " --sign-pass-file " + Quote((*keys_ / "pass.txt").string()), &output), 0) << output;
  EXPECT_NE(output.find("signed: certificate table"), std::string::npos) << output;
  EXPECT_EQ(Verify(options_.Output, &output), 0) << output;

  ASSERT_EQ(RunShell(Quote(mkpatch) + " --show " + Quote(options_.Output), &output), 0) << output;
  EXPECT_NE(output.find("title: \"Sample Quest\""), std::string::npos) << output;
  EXPECT_NE(output.find("signature: certificate table of "), std::string::npos) << output;
  const size_t entries = OpenPatch(options_.Output, root_ / "out").Entries.size();
  EXPECT_GE(entries, 3u);
  EXPECT_NE(output.find("entries: " + std::to_string(entries) + "\n"), std::string::npos) << output;
  EXPECT_NE(output.find("___\\data\\maps\\m1.txt"), std::string::npos) << output;

  // Without the password the PKCS#12 file does not open: an error, and the patch built
  // before stays as it was.
  const std::vector<uint8_t> before = ReadAll(options_.Output);
  EXPECT_NE(RunShell(build, &output), 0);
  EXPECT_NE(output.find("signing failed"), std::string::npos) << output;
  EXPECT_EQ(ReadAll(options_.Output), before);
}

TEST_F(PatchSigningTest, FailedSigningLeavesNoOutput) {
  PatchSummary summary;
  std::string error;
  // A key that does not belong to the certificate: the signing program fails.
  PatchOptions o = options_;
  o.Sign = Identity();
  o.Sign.Key = (*keys_ / "other.pem").string();
  EXPECT_FALSE(BuildPatch(o, summary, error));
  EXPECT_NE(error.find("signing failed (osslsigncode exit code"), std::string::npos) << error;
  EXPECT_NE(error.find("private key"), std::string::npos) << error;  // its own message
  EXPECT_FALSE(fs::exists(o.Output));
  EXPECT_FALSE(WorkDirectoryLeft(o.Output));

  // An earlier output survives every failure untouched.
  Write(o.Output, "earlier build");
  EXPECT_FALSE(BuildPatch(o, summary, error));

  // A program that succeeds without writing, and one that writes the patch unsigned.
  o.Sign = Identity();
  o.Sign.Tool = "/bin/true";
  EXPECT_FALSE(BuildPatch(o, summary, error));
  EXPECT_NE(error.find("wrote no file"), std::string::npos) << error;
  Write(root_ / "copy-tool", "#!/bin/sh\neval in=\\${$(($# - 2))}\neval out=\\${$#}\ncp \"$in\" \"$out\"\n");
  fs::permissions(root_ / "copy-tool", fs::perms::owner_all);
  o.Sign.Tool = (root_ / "copy-tool").string();
  EXPECT_FALSE(BuildPatch(o, summary, error));
  EXPECT_NE(error.find("certificate table"), std::string::npos) << error;

  // Incomplete or unusable options are refused before any work is done.
  const auto refused = [&](const SignOptions& sign, const char* expected) {
    PatchOptions p = options_;
    p.Sign = sign;
    std::string message;
    EXPECT_FALSE(BuildPatch(p, summary, message)) << expected;
    EXPECT_NE(message.find(expected), std::string::npos) << message;
  };
  SignOptions s = Identity();
  s.Key.clear();
  refused(s, "--sign-cert needs --sign-key");
  s = Identity();
  s.Pkcs12 = (*keys_ / "identity.p12").string();
  refused(s, "not both");
  s = Identity();
  s.Tool = (root_ / "no-such-signer").string();
  refused(s, "was not found");
  s = Identity();
  s.TimestampUrl = "ftp://time.example";
  refused(s, "no http:// or https:// address");
  s = Identity();
  s.Certificate = (root_ / "missing.pem").string();
  refused(s, "cannot read the signing file");
  s = SignOptions();
  s.PasswordFile = (*keys_ / "pass.txt").string();
  refused(s, "need --sign-cert and --sign-key, or --sign-pkcs12");
  EXPECT_EQ(ReadText(o.Output), "earlier build");
  EXPECT_FALSE(WorkDirectoryLeft(o.Output));
}

// A signed updater image loses its table with the bytes behind its sections; the patch
// must not keep a security directory that points into its payload.
TEST_F(PatchSigningTest, SignedStubLosesItsCertificateTable) {
  const fs::path signed_stub = root_ / "updater-signed.exe";
  std::string output;
  ASSERT_EQ(RunShell("osslsigncode sign -certs " + Quote((*keys_ / "cert.pem").string()) + " -key " +
                    Quote((*keys_ / "key.pem").string()) + " -in " + Quote(options_.Stub) + " -out " +
                    Quote(signed_stub.string()),
                &output),
            0)
      << output;
  PatchOptions o = options_;
  o.Stub = signed_stub.string();
  PatchSummary summary;
  std::string error;
  ASSERT_TRUE(BuildPatch(o, summary, error)) << error;
  std::vector<uint8_t> bytes = ReadAll(o.Output);
  uint64_t offset = 1, length = 1;
  ASSERT_TRUE(PeCertificateTable(bytes.data(), bytes.size(), offset, length));
  EXPECT_EQ(offset, 0u);
  EXPECT_EQ(length, 0u);
  EXPECT_NE(Verify(o.Output), 0);

  o.Sign = Identity();
  ASSERT_TRUE(BuildPatch(o, summary, error)) << error;
  EXPECT_EQ(Verify(o.Output, &output), 0) << output;
  EXPECT_NE(output.find("Number of verified signatures: 1"), std::string::npos) << output;
  bytes = ReadAll(o.Output);
  ASSERT_TRUE(PeCertificateTable(bytes.data(), bytes.size(), offset, length));
  EXPECT_EQ(offset + length, bytes.size());
  EXPECT_TRUE(OpenPatch(o.Output, root_ / "out").Opened);
}

TEST(SignCommandTest, ArgumentsAndWindowsQuoting) {
  SignOptions sign;
  sign.Pkcs12 = "/keys/id.p12";
  sign.PasswordFile = "/keys/pass";
  sign.TimestampUrl = "http://time.example";
  sign.Description = "-looks like an option";
  const std::vector<std::string> args = SignCommand(sign, "osslsigncode", "/w/in.exe", "/w/out.exe");
  const std::vector<std::string> expected = {"osslsigncode", "sign", "-pkcs12", "/keys/id.p12", "-readpass",
                                             "/keys/pass", "-h", "sha256", "-n", "-looks like an option", "-ts",
                                             "http://time.example", "-in", "/w/in.exe", "-out", "/w/out.exe"};
  EXPECT_EQ(args, expected);
  // Relative names are made absolute, so none can be taken for an option.
  sign = SignOptions();
  sign.Certificate = "-cert.pem";
  sign.Key = "key.pem";
  const std::vector<std::string> relative = SignCommand(sign, "s", "-in.exe", "out.exe");
  ASSERT_EQ(relative.size(), 12u);
  EXPECT_EQ(relative[2], "-certs");
  EXPECT_EQ(relative[3], (fs::current_path() / "-cert.pem").string());
  EXPECT_EQ(relative[9], (fs::current_path() / "-in.exe").string());

  EXPECT_EQ(WindowsCommandLine({"a", "b c", ""}), "a \"b c\" \"\"");
  EXPECT_EQ(WindowsCommandLine({"C:\\Program Files\\x\\", "say \"hi\""}),
            "\"C:\\Program Files\\x\\\\\" \"say \\\"hi\\\"\"");
  EXPECT_EQ(WindowsCommandLine({"a\\\\b", "x\\\" y"}), "a\\\\b \"x\\\\\\\" y\"");
}

}  // namespace
