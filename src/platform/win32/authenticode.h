// Who signed a client file: its Authenticode signature, verified with
// WinVerifyTrust on the file held open, without any network fetch.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/system.h"

namespace vorn::os::win32 {

// The signers of the PE file open as `file` (named `path`, which
// WinVerifyTrust wants beside the handle) whose SHA-256 is `digest`: the
// SHA-256 thumbprint of each certificate in its signer's chain, the signer's
// own first. Only a signature that verifies over the file's bytes yields
// signers, and each certificate in the chain must carry a valid signature of
// the next. The operator's publisher line is the anchor, not the machine's
// root store: a chain ending at a root the machine does not trust still
// yields signers, and so does an expired certificate (see authenticode.cpp).
//
// Empty for a file without a certificate table (not handed to WinVerifyTrust
// at all: `problem` stays none) and for one whose signature does not hold
// (`problem` says why). The file must be held so that nobody can write it
// between the hash and this second read. Moves the file pointer.
//
// A verdict is kept for the file's digest (the same bytes give the same
// verdict), so only a build this service run has not seen yet pays the
// second read; `read_again` says whether this one did.
std::vector<Signer> authenticode_signers(HANDLE file, const std::wstring& path,
                                         const std::uint8_t (&digest)[32],
                                         Error& problem, bool& read_again);

}  // namespace vorn::os::win32
