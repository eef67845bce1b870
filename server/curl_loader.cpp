// libcurl is loaded on first use, so that the commands that never ask the
// update server (-D, -U from the store, -h, ...) do not load it and what it
// brings along. These are the libcurl functions HTTPRequest calls; each
// forwards to the loaded library. Without it: curl_easy_init gives null
// (the request then fails with its own message) after one line on
// standard error.
#define CURL_DISABLE_TYPECHECK 1
#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

#define CURL_LIBRARY "libcurl.so.4"

struct CurlOps {
    CURLcode (*global_init)(long);
    CURL* (*easy_init)();
    CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
    CURLcode (*easy_perform)(CURL*);
    CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
    void (*easy_cleanup)(CURL*);
    const char* (*easy_strerror)(CURLcode);
    char* (*easy_escape)(CURL*, const char*, int);
    void (*free)(void*);
};

template <typename T> bool sResolve(void* handle, const char* name, T* slot)
{
    *slot = reinterpret_cast<T>(dlsym(handle, name));
    return *slot != nullptr;
}

const CurlOps* sCurl()
{
    static std::once_flag once;
    static CurlOps ops;
    static bool loaded = false;
    std::call_once(once, [] {
        void* handle = dlopen(CURL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        loaded = handle && sResolve(handle, "curl_global_init", &ops.global_init)
                 && sResolve(handle, "curl_easy_init", &ops.easy_init)
                 && sResolve(handle, "curl_easy_setopt", &ops.easy_setopt)
                 && sResolve(handle, "curl_easy_perform", &ops.easy_perform)
                 && sResolve(handle, "curl_easy_getinfo", &ops.easy_getinfo)
                 && sResolve(handle, "curl_easy_cleanup", &ops.easy_cleanup)
                 && sResolve(handle, "curl_easy_strerror", &ops.easy_strerror)
                 && sResolve(handle, "curl_easy_escape", &ops.easy_escape)
                 && sResolve(handle, "curl_free", &ops.free);
        if (!loaded) {
            const char* why = dlerror();
            std::fprintf(stderr, "Cannot load %s (%s): install libcurl to reach the update server.\n",
                         CURL_LIBRARY, why ? why : "incomplete");
        }
    });
    return loaded ? &ops : nullptr;
}

} // namespace

extern "C" {

CURLcode curl_global_init(long flags)
{
    const CurlOps* c = sCurl();
    return c ? c->global_init(flags) : CURLE_FAILED_INIT;
}

CURL* curl_easy_init()
{
    const CurlOps* c = sCurl();
    return c ? c->easy_init() : nullptr;
}

// libcurl's own prototypes put an enum before the "...": an int-sized enum
// is passed as it is, so va_start is sound here; clang warns about it all
// the same.
#ifdef __clang__
#pragma clang diagnostic ignored "-Wvarargs"
#endif

// The option's number tells the type of its one argument.
CURLcode curl_easy_setopt(CURL* curl, CURLoption option, ...)
{
    const CurlOps* c = sCurl();
    if (!c)
        return CURLE_FAILED_INIT;
    va_list args;
    va_start(args, option);
    CURLcode rc;
    if (option < CURLOPTTYPE_OBJECTPOINT) {
        long value = va_arg(args, long);
        rc = c->easy_setopt(curl, option, value);
    } else if (option < CURLOPTTYPE_FUNCTIONPOINT) {
        void* value = va_arg(args, void*);
        rc = c->easy_setopt(curl, option, value);
    } else if (option < CURLOPTTYPE_OFF_T) {
        void (*value)() = va_arg(args, void (*)());
        rc = c->easy_setopt(curl, option, value);
    } else if (option < CURLOPTTYPE_BLOB) {
        curl_off_t value = va_arg(args, curl_off_t);
        rc = c->easy_setopt(curl, option, value);
    } else {
        void* value = va_arg(args, void*);
        rc = c->easy_setopt(curl, option, value);
    }
    va_end(args);
    return rc;
}

CURLcode curl_easy_perform(CURL* curl)
{
    const CurlOps* c = sCurl();
    return c ? c->easy_perform(curl) : CURLE_FAILED_INIT;
}

// Every piece of information is written through one pointer.
CURLcode curl_easy_getinfo(CURL* curl, CURLINFO info, ...)
{
    const CurlOps* c = sCurl();
    if (!c)
        return CURLE_FAILED_INIT;
    va_list args;
    va_start(args, info);
    void* out = va_arg(args, void*);
    va_end(args);
    return c->easy_getinfo(curl, info, out);
}

void curl_easy_cleanup(CURL* curl)
{
    if (const CurlOps* c = sCurl())
        c->easy_cleanup(curl);
}

const char* curl_easy_strerror(CURLcode code)
{
    const CurlOps* c = sCurl();
    return c ? c->easy_strerror(code) : "libcurl could not be loaded";
}

char* curl_easy_escape(CURL* curl, const char* string, int length)
{
    const CurlOps* c = sCurl();
    return c ? c->easy_escape(curl, string, length) : nullptr;
}

void curl_free(void* p)
{
    if (const CurlOps* c = sCurl())
        c->free(p);
}

} // extern "C"
