#pragma once

#include <QByteArray>
#include <memory>

// Incremental SHA-256 over OpenSSL's EVP interface.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void add(const char *data, qsizetype length);
    void add(const QByteArray &data) { add(data.constData(), data.size()); }
    // The 32-byte digest; the hasher is spent afterwards.
    [[nodiscard]] QByteArray finish();

    [[nodiscard]] static QByteArray hash(const QByteArray &data);

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};
