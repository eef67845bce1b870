// The keys that keep the local network server to its owner: the server's
// CURVE key pair, the owner's client key pair, the client keys the server
// lets in and the server keys a client trusts, as text files in one folder
// only the owner may open ($HOME/.quorvane/aether, mode 0700):
//   server.key, client.key   the secret key (Z85, 40 characters), mode 0600
//   server.pub, client.pub   the public key, for copying to another host
//   authorized_clients       client public keys the server accepts besides
//                            the owner's own, one per line ('#' comments)
//   known_servers            "ADDRESS KEY" lines: the server public key a
//                            client expects at that IPv4 address
// Key pairs are made on first use. Any thread may call these; each call
// opens and closes what it reads.
#ifndef CORVESTEL_TRANSPORT_ACURVEKEYS_H
#define CORVESTEL_TRANSPORT_ACURVEKEYS_H

#include <cstdint>

#include "link/aError.h"

// A Z85 key text with its terminating zero.
#define aCURVE_KEY_TEXT 41

struct aCurveKeyPair {
    char publicKey[aCURVE_KEY_TEXT];
    char secretKey[aCURVE_KEY_TEXT];
};

// The key pair of role "server" or "client", made and saved when missing.
//   aErrNotFound    no home folder
//   aErrPermission  the folder or a key file is not the owner's alone (the
//                   trace names it and the fix)
//   aErrIO          a file could not be read or written
//   aErrPacket      a key file that does not hold a key
aErr aCurveKeys_OwnPair(const char* role, aCurveKeyPair* pair);

// The public key of the server at this dotted IPv4 address: its line in
// known_servers, else this user's own server key (a server this user runs).
//   aErrNotFound  neither exists; otherwise as aCurveKeys_OwnPair
aErr aCurveKeys_ServerKey(const char* address, char* publicKey);

// Whether a client with this 32-byte public key may use this user's server:
// the user's own client key, or a line of authorized_clients.
bool aCurveKeys_IsAllowed(const uint8_t* publicKey);

#endif
