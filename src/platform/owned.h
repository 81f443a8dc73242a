#pragma once
// Owning pointers for objects of C libraries (OpenSSL and the like) that are
// released by a function of their own: Owned<X509, X509_free>.
#include <memory>

namespace platform {

template <typename T, void (*Free)(T*)>
struct FreeWith {
    void operator()(T* p) const { Free(p); }
};

template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, FreeWith<T, Free>>;

}  // namespace platform
