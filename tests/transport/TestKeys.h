// The CURVE keys of the local network server for tests that play a raw
// ZeroMQ peer: the program gets a private home folder (so that no key of
// the user running the tests is read or made), and the peer's socket gets
// the keys the server and its clients find there.
#ifndef TESTS_TRANSPORT_TESTKEYS_H
#define TESTS_TRANSPORT_TESTKEYS_H

#include <czmq.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace testkeys {

inline std::string Folder()
{
    return std::string(std::getenv("HOME")) + "/.quorvane/aether";
}

inline std::string& PrivateHomePath()
{
    static std::string path;
    return path;
}

inline bool UsePrivateHome()
{
    char path[] = "/tmp/corvestel-keys-XXXXXX";
    if (mkdtemp(path)) {
        setenv("HOME", path, 1);
        PrivateHomePath() = path;
        std::atexit([] { std::filesystem::remove_all(PrivateHomePath()); });
    }
    return true;
}

// Set before main, before any thread reads the environment.
inline const bool privateHome = UsePrivateHome();

// The pair of role ("server" or "client"), made as the library makes it
// when missing. publicKey and secretKey: Z85 texts.
inline void Pair(const std::string& role, std::string& publicKey, std::string& secretKey)
{
    const std::string home = std::getenv("HOME");
    mkdir((home + "/.quorvane").c_str(), 0755);
    mkdir(Folder().c_str(), 0700);
    const std::string path = Folder() + "/" + role + ".key";
    std::string secret;
    std::ifstream(path) >> secret;
    if (secret.size() != 40) {
        char pub[41], sec[41];
        zmq_curve_keypair(pub, sec);
        std::ofstream(path) << sec << "\n";
        chmod(path.c_str(), 0600);
        secret = sec;
    }
    char pub[41];
    zmq_curve_public(pub, secret.c_str());
    publicKey = pub;
    secretKey = secret;
}

// A DEALER that the server lets in: the owner's client key.
inline void AsOwnersClient(zsock_t* socket)
{
    std::string serverPublic, serverSecret, clientPublic, clientSecret;
    Pair("server", serverPublic, serverSecret);
    Pair("client", clientPublic, clientSecret);
    zsock_set_curve_serverkey(socket, serverPublic.c_str());
    zsock_set_curve_publickey(socket, clientPublic.c_str());
    zsock_set_curve_secretkey(socket, clientSecret.c_str());
}

// A ROUTER that clients of this user trust: the owner's server key.
inline void AsOwnersServer(zsock_t* socket)
{
    std::string serverPublic, serverSecret;
    Pair("server", serverPublic, serverSecret);
    zsock_set_curve_server(socket, 1);
    zsock_set_curve_secretkey(socket, serverSecret.c_str());
}

} // namespace testkeys

#endif
