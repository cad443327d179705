#include "Kv.Libssh2.h"

#include <dlfcn.h>
#include <mutex>
#include <openssl/evp.h>

#include "Kv.Platform.Folders.h"

namespace kv {

namespace {

constexpr const char* KLibraryName = "libssh2.so.1";

std::mutex GBindLock;
bool GBound = false;
TKvLibssh2Api GApi;

} // namespace

bool BindLibssh2From(const std::vector<std::string>& AFiles, TKvLibssh2Api& AApi, void*& AHandle,
                     std::string& AMessage) {
    AMessage.clear();
    AHandle = nullptr;
    void* handle = nullptr;
    for (const auto& file : AFiles)
        if ((handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL)) != nullptr)
            break;
    if (!handle) {
        AMessage = std::string(KLibraryName) + " was not found. Put the 64-bit " + KLibraryName +
                   " in the same folder as kolvan, or install the libssh2-1 package.";
        return false;
    }

    TKvLibssh2Api api;
    std::string missing;
#define KV_LIBSSH2_RESOLVE(Name)                                                                 \
    api.Name = reinterpret_cast<decltype(api.Name)>(::dlsym(handle, #Name));                     \
    if (!api.Name)                                                                               \
        missing += " " #Name;
    KV_LIBSSH2_REQUIRED(KV_LIBSSH2_RESOLVE)
#undef KV_LIBSSH2_RESOLVE
#define KV_LIBSSH2_RESOLVE_OPTIONAL(Name)                                                        \
    api.Name = reinterpret_cast<decltype(api.Name)>(::dlsym(handle, #Name));
    KV_LIBSSH2_OPTIONAL(KV_LIBSSH2_RESOLVE_OPTIONAL)
#undef KV_LIBSSH2_RESOLVE_OPTIONAL
    if (!missing.empty()) {
        ::dlclose(handle);
        AMessage = std::string("This ") + KLibraryName + " is missing functions:" + missing +
                   ". Use libssh2 version 1.10 or newer.";
        return false;
    }
    // The library stays loaded after a failed initialisation, as after a success.
    if (api.libssh2_init(0) != 0) {
        AMessage = "libssh2 could not be initialised";
        return false;
    }
    AApi = api;
    AHandle = handle;
    return true;
}

bool LoadLibssh2(std::string& AMessage) {
    std::lock_guard lock(GBindLock);
    AMessage.clear();
    if (GBound)
        return true;
    // A bare name makes dlopen search the usual places; the program's own copy comes first.
    std::vector<std::string> files{ProgramFolder() + "/" + KLibraryName, KLibraryName};
    void* handle = nullptr;
    if (!BindLibssh2From(files, GApi, handle, AMessage))
        return false;
    GBound = true;
    return true;
}

const TKvLibssh2Api& Ssh2() { return GApi; }

std::string SftpErrorText(uint32_t ACode) {
    switch (ACode) {
    case 1: return "end of file";
    case 2: return "no such file or directory";
    case 3: return "permission denied";
    case 4: return "the server reported a failure";
    case 5: return "bad message";
    case 6: return "no connection";
    case 7: return "connection lost";
    case 8: return "operation not supported by the server";
    case 9: return "invalid handle";
    case 10: return "no such path";
    case 11: return "file already exists";
    case 12: return "write protected";
    case 13: return "no media";
    case 14: return "no space left on the server";
    case 15: return "quota exceeded";
    case 18: return "directory not empty";
    case 19: return "not a directory";
    case 20: return "invalid file name";
    case 21: return "too many symbolic links";
    default: return "SFTP error " + std::to_string(ACode);
    }
}

std::string HostKeyTypeName(int AType) {
    switch (AType) {
    case 1: return "ssh-rsa";
    case 2: return "ssh-dss";
    case 3: return "ecdsa-sha2-nistp256";
    case 4: return "ecdsa-sha2-nistp384";
    case 5: return "ecdsa-sha2-nistp521";
    case 6: return "ssh-ed25519";
    default: return "unknown-" + std::to_string(AType);
    }
}

std::string HostKeyFingerprint(const unsigned char* ADigest32) {
    unsigned char text[48] = {};
    int length = ::EVP_EncodeBlock(text, ADigest32, 32);
    std::string result(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
    while (!result.empty() && result.back() == '=')
        result.pop_back();
    return "SHA256:" + result;
}

} // namespace kv
