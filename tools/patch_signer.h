// Code signing of a finished patch: the patch file is handed to osslsigncode, which
// appends an Authenticode certificate table behind the archive and points the image's
// security directory at it. The signature covers everything before the table, so the
// payload records and the archive are signed with the image; the updater finds its
// records in the first 1 MiB and its archive from the front record, and the table behind
// the archive changes neither.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct SignOptions {
  std::string Certificate;   // certificate (chain) file, PEM or DER; with Key
  std::string Key;           // private key file; with Certificate
  std::string Pkcs12;        // PKCS#12 file with key and certificates, instead of the two
  std::string PasswordFile;  // file whose first line is the password of the key or PKCS#12
  std::string TimestampUrl;  // RFC 3161 time-stamp server; empty: no time stamp
  std::string Description;   // program description shown with the signature; empty: none
  std::string Tool;          // the signing program; empty: "osslsigncode" from PATH

  bool Enabled() const { return !Certificate.empty() || !Key.empty() || !Pkcs12.empty(); }
};

// Checks that the options name one complete signing identity with readable files and that
// the signing program can be found; false with a message otherwise.
bool CheckSignOptions(const SignOptions& options, std::string& error);

// The argument vector of the signing program (argument 0 is the program as given) that
// signs input into output with SHA-256.
std::vector<std::string> SignCommand(const SignOptions& options, const std::string& program,
                                     const std::string& input, const std::string& output);

// Signs input into output by running the signing program; log receives its messages.
// False with a message (ending with the program's own messages) when the program cannot
// be run, fails, or writes no output. output is not removed on failure: the caller signs
// into a temporary file.
bool SignFile(const SignOptions& options, const std::string& input, const std::string& output,
              const std::string& log, std::string& error);

// Offset and size of the image's certificate table (the security directory entry).
// False when the bytes are not a PE image with a data directory that holds that entry;
// true with zero offset and size for an image without a table.
bool PeCertificateTable(const uint8_t* bytes, size_t size, uint64_t& offset, uint64_t& length,
                        size_t* entry_position = nullptr);

// One Windows command line from an argument vector, quoted so that the C runtime's parser
// gives back exactly these arguments.
std::string WindowsCommandLine(const std::vector<std::string>& arguments);
