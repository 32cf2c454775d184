// Ed25519 keys through libcrypto's EVP, kept in PEM files.
#include "sign_tool/signing_key.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include "platform/posix/fd_util.h"

namespace vorn::sign {

namespace {

struct ContextFree {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  void operator()(BIO* bio) const { BIO_free(bio); }
};

os::Error crypto_failure(const std::string& what) {
  return os::Error(os::Errc::other, "libcrypto could not " + what);
}

}  // namespace

void KeyFree::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }

os::Error generate_key_file(const std::string& path, PublicKey& public_key) {
  const std::unique_ptr<EVP_PKEY_CTX, ContextFree> context(
      EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
  EVP_PKEY* made = nullptr;
  if (context == nullptr || EVP_PKEY_keygen_init(context.get()) != 1 ||
      EVP_PKEY_keygen(context.get(), &made) != 1) {
    return crypto_failure("make an Ed25519 key");
  }
  const SigningKey key(made);
  const std::unique_ptr<BIO, ContextFree> pem(BIO_new(BIO_s_mem()));
  char* text = nullptr;
  if (pem == nullptr ||
      PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0,
                               nullptr, nullptr) != 1) {
    return crypto_failure("write the key as PEM");
  }
  const long length = BIO_get_mem_data(pem.get(), &text);
  // O_EXCL: an existing key, perhaps the one every release was signed
  // with, is never overwritten.
  const os::posix::UniqueFd file(os::posix::retry_on_eintr([&] {
    return ::open(path.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  }));
  if (!file.valid()) return os::last_system_error().context(path);
  os::Error error =
      ::fchmod(file.get(), 0600) != 0
          ? os::last_system_error()
          : os::posix::write_fully(file.get(), text,
                                   static_cast<std::size_t>(length));
  if (!error && ::fsync(file.get()) != 0) error = os::last_system_error();
  if (error) {
    ::unlink(path.c_str());
    return error.context(path);
  }
  public_key = public_key_of(key);
  return os::Error();
}

os::Error load_key_file(const std::string& path, SigningKey& key) {
  const std::unique_ptr<BIO, ContextFree> file(BIO_new_file(path.c_str(), "r"));
  if (file == nullptr) {
    return os::Error(os::Errc::not_found, path + ": cannot be opened");
  }
  key.reset(PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr, nullptr));
  if (key == nullptr || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) {
    key.reset();
    return os::Error(os::Errc::invalid,
                     path + ": not an Ed25519 private key in PEM form");
  }
  return os::Error();
}

PublicKey public_key_of(const SigningKey& key) {
  PublicKey public_key{};
  std::size_t length = public_key.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), public_key.data(), &length) != 1) {
    public_key.fill(0);
  }
  return public_key;
}

os::Error sign_message(const SigningKey& key,
                       const std::vector<std::uint8_t>& message,
                       Signature& signature) {
  const std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
  std::size_t length = signature.size();
  if (context == nullptr ||
      EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) !=
          1 ||
      EVP_DigestSign(context.get(), signature.data(), &length, message.data(),
                     message.size()) != 1 ||
      length != signature.size()) {
    return crypto_failure("sign");
  }
  return os::Error();
}

}  // namespace vorn::sign
