#pragma once

#include <memory>

namespace tavo::core::common {

// Owner of a C library object (OpenSSL, libcurl, zlib ...) released by its
// free function on every path: CPtr<X509, X509_free>.
template <auto Fn>
struct CDeleter {
    template <class T>
    void operator()(T* p) const noexcept {
        if (p) Fn(p);
    }
};

template <class T, auto Fn>
using CPtr = std::unique_ptr<T, CDeleter<Fn>>;

}  // namespace tavo::core::common
