#include "acceleratedcryptographichash.h"

#include <gnutls/crypto.h>
#include <stdexcept>

AcceleratedCryptographicHash::AcceleratedCryptographicHash(QCryptographicHash::Algorithm method)
{
    if (method != QCryptographicHash::Sha256)
        throw std::runtime_error("Only sha256 implemented");
    if (gnutls_hash_init(&_context, GNUTLS_DIG_SHA256) != 0)
        throw std::runtime_error("Error initializing SHA-256 digest");
}

AcceleratedCryptographicHash::~AcceleratedCryptographicHash()
{
    gnutls_hash_deinit(_context, nullptr);
}

void AcceleratedCryptographicHash::addData(const char *data, int length)
{
    if (length > 0)
        gnutls_hash(_context, data, static_cast<size_t>(length));
}

void AcceleratedCryptographicHash::addData(const QByteArray &data)
{
    addData(data.constData(), data.size());
}

QByteArray AcceleratedCryptographicHash::result()
{
    QByteArray digest(gnutls_hash_get_len(GNUTLS_DIG_SHA256), '\0');
    // Finalising a copy keeps the running context usable for more data.
    gnutls_hash_hd_t copy = gnutls_hash_copy(_context);
    if (!copy)
        throw std::runtime_error("Error copying SHA-256 digest");
    gnutls_hash_deinit(copy, digest.data());
    return digest;
}
