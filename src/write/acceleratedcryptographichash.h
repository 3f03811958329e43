#pragma once

#include <QByteArray>
#include <QCryptographicHash>

struct hash_hd_st;

// SHA-256 through GnuTLS, which uses the processor's SHA instructions where present.
class AcceleratedCryptographicHash
{
public:
    explicit AcceleratedCryptographicHash(QCryptographicHash::Algorithm method);
    ~AcceleratedCryptographicHash();
    AcceleratedCryptographicHash(const AcceleratedCryptographicHash &) = delete;
    AcceleratedCryptographicHash &operator=(const AcceleratedCryptographicHash &) = delete;

    void addData(const char *data, int length);
    void addData(const QByteArray &data);
    // Digest of everything fed so far; the running context is left untouched.
    QByteArray result();

private:
    hash_hd_st *_context = nullptr;
};
