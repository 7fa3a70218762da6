// mkpatch: builds a patch executable from the updater's image and an old and a new game
// tree, optionally signs it, or shows the records of a built patch.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/patch_builder.h"

namespace {

void Usage(FILE* to) {
  std::fprintf(to,
               "usage: mkpatch --stub updater.exe --old OLD_DIR --new NEW_DIR --title TITLE\n"
               "               --old-version TEXT --new-version TEXT --check-file NAME\n"
               "               [--new-check-file NAME] [--codepage N] [signing] -o PATCH.exe\n"
               "       mkpatch --show PATCH.exe\n"
               "       mkpatch --help\n"
               "\n"
               "signing (Authenticode, SHA-256, by osslsigncode after the payload is appended,\n"
               "so that the signature covers it):\n"
               "  --sign-cert FILE        code-signing certificate (chain), PEM or DER\n"
               "  --sign-key FILE         its private key\n"
               "  --sign-pkcs12 FILE      PKCS#12 file with key and certificates, instead of the two\n"
               "  --sign-pass-file FILE   the key's or PKCS#12 file's password, read from FILE\n"
               "  --sign-timestamp URL    RFC 3161 time-stamp server (contacted over the network)\n"
               "  --sign-name TEXT        program description shown with the signature\n"
               "  --sign-tool PROGRAM     the signing program (default: osslsigncode from PATH)\n"
               "The patch is built and signed in PATCH.exe.work and moved to PATCH.exe only when\n"
               "signing succeeded; a failure leaves no new output.\n");
}

}  // namespace

int main(int argc, char** argv) {
  PatchOptions options;
  std::string show;
  bool have[8] = {};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "mkpatch: %s needs a value\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
    const std::string value = argv[++i];
    if (arg == "--stub") options.Stub = value, have[0] = true;
    else if (arg == "--old") options.OldDir = value, have[1] = true;
    else if (arg == "--new") options.NewDir = value, have[2] = true;
    else if (arg == "--title") options.Title = value, have[3] = true;
    else if (arg == "--old-version") options.OldVersion = value, have[4] = true;
    else if (arg == "--new-version") options.NewVersion = value, have[5] = true;
    else if (arg == "--check-file") options.CheckFile = value, have[6] = true;
    else if (arg == "-o") options.Output = value, have[7] = true;
    else if (arg == "--new-check-file") options.NewCheckFile = value;
    else if (arg == "--codepage") options.CodePage = std::atoi(value.c_str());
    else if (arg == "--show") show = value;
    else if (arg == "--sign-cert") options.Sign.Certificate = value;
    else if (arg == "--sign-key") options.Sign.Key = value;
    else if (arg == "--sign-pkcs12") options.Sign.Pkcs12 = value;
    else if (arg == "--sign-pass-file") options.Sign.PasswordFile = value;
    else if (arg == "--sign-timestamp") options.Sign.TimestampUrl = value;
    else if (arg == "--sign-name") options.Sign.Description = value;
    else if (arg == "--sign-tool") options.Sign.Tool = value;
    else {
      std::fprintf(stderr, "mkpatch: unknown option %s\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }
  std::string error;
  if (!show.empty()) {
    std::string text;
    if (!DescribePatch(show, text, error)) {
      std::fprintf(stderr, "mkpatch: %s\n", error.c_str());
      return 1;
    }
    std::fputs(text.c_str(), stdout);
    return 0;
  }
  for (bool present : have) {
    if (!present) {
      Usage(stderr);
      return 2;
    }
  }
  PatchSummary summary;
  if (!BuildPatch(options, summary, error)) {
    std::fprintf(stderr, "mkpatch: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: %d loose file(s), %d data archive(s) with %d member(s), %d time stamp(s)\n",
              options.Output.c_str(), summary.LooseFiles, summary.DataArchives, summary.Members, summary.TimeStamps);
  std::printf("image %llu bytes, archive %llu bytes, patch %llu bytes\n",
              static_cast<unsigned long long>(summary.ImageEnd), static_cast<unsigned long long>(summary.ArchiveSize),
              static_cast<unsigned long long>(summary.PatchSize));
  if (summary.SignatureSize != 0) {
    std::printf("signed: certificate table %llu bytes behind the archive\n",
                static_cast<unsigned long long>(summary.SignatureSize));
  }
  return 0;
}
