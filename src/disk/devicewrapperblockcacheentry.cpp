#include "devicewrapperblockcacheentry.h"

#include <cstdlib>
#include <new>

DeviceWrapperBlockCacheEntry::DeviceWrapperBlockCacheEntry(QObject *parent, size_t blocksize)
    : QObject(parent), block(static_cast<char *>(std::aligned_alloc(4096, blocksize)))
{
    if (!block)
        throw std::bad_alloc();
}

DeviceWrapperBlockCacheEntry::~DeviceWrapperBlockCacheEntry()
{
    std::free(block);
}
