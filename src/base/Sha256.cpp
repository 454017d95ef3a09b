#include "base/Sha256.h"

#include <openssl/evp.h>

struct Sha256::Context
{
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
