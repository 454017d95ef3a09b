#include "base/Sha256.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace {

// By default OpenSSL frees its state from an exit handler, while a pool thread that digested
// may still be ending and freeing its own part of it: the two free memory twice and the
// program crashes as it quits. The end of the process frees it anyway.
bool initialised()
{
    static const bool done = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    return done;
}

} // namespace

struct Sha256::Context
{
    [[maybe_unused]] bool ready = initialised();
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256()
    : m_context(std::make_unique<Context>())
{
    EVP_DigestInit_ex(m_context->ctx, EVP_sha256(), nullptr);
}

Sha256::~Sha256() = default;

void Sha256::add(const char *data, qsizetype length)
{
    EVP_DigestUpdate(m_context->ctx, data, size_t(length));
}

QByteArray Sha256::finish()
{
    QByteArray digest(EVP_MAX_MD_SIZE, '\0');
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context->ctx, reinterpret_cast<unsigned char *>(digest.data()), &length);
    digest.truncate(qsizetype(length));
    return digest;
}

QByteArray Sha256::hash(const QByteArray &data)
{
    Sha256 hasher;
    hasher.add(data);
    return hasher.finish();
}
