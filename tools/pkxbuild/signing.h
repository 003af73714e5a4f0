// Authenticode signing of finished updaters with osslsigncode, and reading
// back who signed one.
#pragma once

#include <string>

#include "package/writer/package_writer.h"

namespace pkx::builder {

struct SigningRequest {
    std::string certificate;  // PEM certificate (chain) of the signer
    std::string key;          // its PEM private key
    std::string timestamp;    // RFC 3161 time-stamping server; empty: none
};

// Why pkxbuild.exe refuses to sign, and how to sign there instead.
extern const char kSignOnWindows[];

// Signing pads the file to a multiple of 8 bytes before it appends the
// certificate table, and a single package runs up to that table: a single
// package in front of which `stub` is a Windows program image is padded so
// that nothing comes between its digest and the table (also for signing
// later, with signtool on Windows). False only when it cannot be padded.
bool PadForSigning(const packwriter::Bytes& stub, bool container, packwriter::Bytes* payload);

// Writes the signed copy of the updater at `unsignedPath` to `signedPath`;
// on failure `error` says why (with how to install osslsigncode when it is
// missing) and nothing is left at `signedPath`.
bool SignUpdater(const std::string& unsignedPath, const std::string& signedPath,
                 const SigningRequest& request, std::string* error);

// The subject of the certificate that signed the updater at `path`, as
// osslsigncode reports it; false, with the reason in `error`, when it cannot tell.
bool SignerOf(const std::string& path, std::string* subject, std::string* error);

}  // namespace pkx::builder
