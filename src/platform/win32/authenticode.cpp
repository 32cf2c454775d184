// Authenticode signers with WinVerifyTrust, and the verdicts kept by digest.
//
// What the service accepts, and why:
// - The anchor is the operator's publisher line, which names the signer's
//   certificate or one of its issuers, not the machine's root store. A chain
//   ending at a root the machine does not trust (CERT_E_UNTRUSTEDROOT), or
//   one that stops below any root (CERT_E_CHAINING), still names its
//   certificates; whether one of them is trusted is the policy's to say.
// - Revocation is not looked at: no network at the handshake, and no stale
//   list from a cache. The operator revokes a publisher by removing its line,
//   which ends its sessions at their next re-check.
// - An expired certificate still names its signer. A game build stays the
//   same bytes for years while code-signing certificates last one to three,
//   and a signature without a time stamp cannot prove when it was made, so
//   refusing expired ones would refuse every old build on the day the
//   certificate lapses. Ed25519 keys on Linux have no time either. This also
//   keeps a verdict independent of the clock, which is what lets one be kept
//   by digest.
// - Anything else WinVerifyTrust refuses is refused: a digest that does not
//   match (TRUST_E_BAD_DIGEST), no or a malformed signature, a certificate not
//   for code signing, one the machine explicitly distrusts.
// - Each certificate of the chain must carry a valid signature of the next
//   (no CERT_TRUST_IS_NOT_SIGNATURE_VALID), checked here on every element
//   and not only through WinVerifyTrust's answer: Wine 8 answers 0 for a leaf
//   signed by another key than its named issuer's, as it does for an
//   untrusted root, an expired certificate, a leaf not for code signing and a
//   chain without its issuer, and flags those only in the chain's elements.
//
// What Wine 8 showed (throwaway CA, osslsigncode -h sha256): a signed file
// gives 0, the signer's chain with the leaf then the CA, the CA's element
// flagged CERT_TRUST_IS_UNTRUSTED_ROOT; a byte patched in the code gives
// TRUST_E_BAD_DIGEST; an unsigned file TRUST_E_NOSIGNATURE; a certificate
// table cut short ERROR_INSUFFICIENT_BUFFER; overwritten signature bytes
// CRYPT_E_ASN1_BADTAG or CRYPT_E_ASN1_LARGE. It reads the file through the
// handle given (a wrong path beside it changes nothing). Wine could not show
// what Windows answers for an untrusted root, an expired certificate or a
// wrong usage (Wine answers 0 for all three).
#include "platform/win32/authenticode.h"

#include <windows.h>
// These need the definitions of windows.h.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <array>
#include <cstdio>
#include <mutex>
#include <utility>

#include "platform/win32/file_hash.h"
#include "platform/win32/pe_names.h"

namespace vorn::os::win32 {

namespace {

// WinVerifyTrust's answers that still name a signer: the signature holds
// over the file's bytes, and only the machine's anchor or the time differ.
constexpr LONG kSignedAnswers[] = {
    ERROR_SUCCESS,   CERT_E_UNTRUSTEDROOT, CERT_E_UNTRUSTEDTESTROOT,
    CERT_E_CHAINING, CERT_E_EXPIRED,
};

// Flags of a chain element that void the signer whatever the answer was.
constexpr DWORD kVoidingElementErrors = CERT_TRUST_IS_NOT_SIGNATURE_VALID |
                                        CERT_TRUST_IS_REVOKED |
                                        CERT_TRUST_IS_NOT_VALID_FOR_USAGE;

// Builds seen by one service run: a game's image and module, a few versions
// of each at once.
constexpr std::size_t kKeptVerdicts = 64;

struct Verdict {
  std::array<std::uint8_t, 32> digest{};
  std::vector<Signer> signers;
  Error problem;
};

// The last kKeptVerdicts verdicts, the most recently used last.
class KeptVerdicts {
 public:
  bool find(const std::array<std::uint8_t, 32>& digest, Verdict& found) {
    const std::lock_guard<std::mutex> lock(lock_);
    for (std::size_t i = 0; i < kept_.size(); ++i) {
      if (kept_[i].digest != digest) continue;
      Verdict used = std::move(kept_[i]);
      kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(i));
      kept_.push_back(std::move(used));
      found = kept_.back();
      return true;
    }
    return false;
  }

  void keep(const Verdict& verdict) {
    const std::lock_guard<std::mutex> lock(lock_);
    if (kept_.size() == kKeptVerdicts) kept_.erase(kept_.begin());
    kept_.push_back(verdict);
  }

 private:
  std::mutex lock_;
  std::vector<Verdict> kept_;
};

KeptVerdicts& kept_verdicts() {
  static KeptVerdicts kept;
  return kept;
}

// One WinVerifyTrust verification of an open file, its state closed on every
// path. Never asks the network: no revocation, URLs from the cache only.
class TrustVerification {
 public:
  TrustVerification(HANDLE file, const std::wstring& path) {
    file_.cbStruct = sizeof file_;
    file_.pcwszFilePath = path.c_str();
    file_.hFile = file;
    data_.cbStruct = sizeof data_;
    data_.dwUIChoice = WTD_UI_NONE;
    data_.fdwRevocationChecks = WTD_REVOKE_NONE;
    data_.dwUnionChoice = WTD_CHOICE_FILE;
    data_.pFile = &file_;
    data_.dwStateAction = WTD_STATEACTION_VERIFY;
    data_.dwProvFlags =
        WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
    answer_ = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_,
                             &data_);
  }
  ~TrustVerification() {
    if (data_.hWVTStateData == nullptr) return;
    data_.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
  }
  TrustVerification(const TrustVerification&) = delete;
  TrustVerification& operator=(const TrustVerification&) = delete;

  LONG answer() const { return answer_; }
  // The primary signer, or null.
  CRYPT_PROVIDER_SGNR* signer() const {
    if (data_.hWVTStateData == nullptr) return nullptr;
    CRYPT_PROVIDER_DATA* provider =
        WTHelperProvDataFromStateData(data_.hWVTStateData);
    return provider == nullptr
               ? nullptr
               : WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
  }

 private:
  GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_FILE_INFO file_{};
  WINTRUST_DATA data_{};
  LONG answer_ = 0;
};

std::string hex_code(LONG code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

// Why a signature does not hold, in the operator's words.
Error refusal(LONG answer) {
  const char* why = "is malformed or cannot be verified";
  switch (answer) {
    case TRUST_E_BAD_DIGEST:
      why = "does not match the file's bytes";
      break;
    case TRUST_E_NOSIGNATURE:
    case TRUST_E_SUBJECT_FORM_UNKNOWN:
      why = "is missing from its certificate table";
      break;
    case TRUST_E_CERT_SIGNATURE:
      why = "names a certificate that its issuer did not sign";
      break;
    case CERT_E_WRONG_USAGE:
      why = "was made with a certificate not for code signing";
      break;
    case CERT_E_REVOKED:
    case TRUST_E_EXPLICIT_DISTRUST:
      why = "was made with a certificate this machine distrusts";
      break;
    default:
      break;
  }
  return Error(Errc::untrusted,
               std::string("its Authenticode signature ") + why +
                   " (WinVerifyTrust " + hex_code(answer) + ")",
               static_cast<std::uint32_t>(answer));
}

bool answer_names_signer(LONG answer) {
  for (const LONG signed_answer : kSignedAnswers) {
    if (answer == signed_answer) return true;
  }
  return false;
}

// A verdict made by the bytes alone, kept for them: WinVerifyTrust's trust
// and crypto answers. One that failed for want of memory or a read is not.
bool decided_by_bytes(LONG answer) {
  const unsigned facility = HRESULT_FACILITY(answer);
  return answer == ERROR_SUCCESS || facility == FACILITY_CERT ||
         facility == FACILITY_SECURITY;
}

bool thumbprint(const CERT_CONTEXT& certificate, Signer& signer) {
  Sha256Hasher hasher;
  std::uint8_t digest[32];
  if (!hasher.ready() ||
      !hasher.add(certificate.pbCertEncoded, certificate.cbCertEncoded) ||
      !hasher.finish(digest)) {
    return false;
  }
  signer.kind = SignerKind::certificate;
  std::copy(std::begin(digest), std::end(digest), signer.id.begin());
  return true;
}

// WinVerifyTrust's answer for a chain element's flags, or 0 when they leave
// it standing.
LONG element_refusal(DWORD errors) {
  if ((errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) != 0) {
    return TRUST_E_CERT_SIGNATURE;
  }
  if ((errors & CERT_TRUST_IS_REVOKED) != 0) return CERT_E_REVOKED;
  if ((errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) != 0) {
    return CERT_E_WRONG_USAGE;
  }
  return 0;
}

// The verification itself; `decided` tells whether the verdict may be kept.
Verdict verify(HANDLE file, const std::wstring& path, bool& decided) {
  Verdict verdict;
  const TrustVerification verification(file, path);
  LONG answer = verification.answer();
  decided = decided_by_bytes(answer);
  const CRYPT_PROVIDER_SGNR* signer =
      answer_names_signer(answer) ? verification.signer() : nullptr;
  if (signer != nullptr && signer->dwError != 0 &&
      !answer_names_signer(static_cast<LONG>(signer->dwError))) {
    answer = static_cast<LONG>(signer->dwError);
    signer = nullptr;
  }
  if (signer == nullptr || signer->csCertChain == 0) {
    verdict.problem =
        refusal(answer_names_signer(answer) ? TRUST_E_NOSIGNATURE : answer);
    return verdict;
  }
  std::vector<Signer> chain;
  for (DWORD i = 0; i < signer->csCertChain; ++i) {
    const CRYPT_PROVIDER_CERT* certificate = WTHelperGetProvCertFromChain(
        const_cast<CRYPT_PROVIDER_SGNR*>(signer), i);
    // An element without its chain status was never checked: refused.
    const LONG refused =
        certificate == nullptr || certificate->pCert == nullptr ||
                certificate->pChainElement == nullptr
            ? TRUST_E_NOSIGNATURE
            : element_refusal(
                  certificate->pChainElement->TrustStatus.dwErrorStatus);
    if (refused != 0) {
      verdict.problem = refusal(refused);
      return verdict;
    }
    Signer named;
    if (!thumbprint(*certificate->pCert, named)) {
      decided = false;
      verdict.problem = Error(Errc::no_resources,
                              "its signer's certificates could not be hashed");
      return verdict;
    }
    chain.push_back(named);
  }
  verdict.signers = std::move(chain);
  return verdict;
}

}  // namespace

std::vector<Signer> authenticode_signers(HANDLE file, const std::wstring& path,
                                         const std::uint8_t (&digest)[32],
                                         Error& problem, bool& read_again) {
  problem = Error();
  read_again = false;
  if (!has_certificate_table(read_at_of(file))) return {};
  Verdict verdict;
  std::copy(std::begin(digest), std::end(digest), verdict.digest.begin());
  if (!kept_verdicts().find(verdict.digest, verdict)) {
    bool decided = false;
    Verdict made = verify(file, path, decided);
    read_again = true;
    made.digest = verdict.digest;
    if (decided) kept_verdicts().keep(made);
    verdict = std::move(made);
  }
  problem = verdict.problem;
  return verdict.signers;
}

}  // namespace vorn::os::win32
