// What the shared device link library exports. The library is built with
// every symbol hidden; each public header puts its declarations between
// CORVESTEL_API_BEGIN and CORVESTEL_API_END, and those alone are its
// interface. Helpers shared between the library's own units stay hidden,
// but for the few that the ZeroMQ plugin and the Updater reach inside it:
// their headers use CORVESTEL_INTERNAL_BEGIN and CORVESTEL_INTERNAL_END, are
// not installed and promise no stable interface. The ZeroMQ plugin's own
// units define CORVESTEL_NO_EXPORT: their definitions of the server and
// client functions stay private to the plugin, whose calls to them must not
// reach the library's forwarders of the same names.
#ifndef CORVESTEL_LINK_AEXPORT_H
#define CORVESTEL_LINK_AEXPORT_H

#if defined(__GNUC__) && !defined(CORVESTEL_NO_EXPORT)
#define CORVESTEL_API_BEGIN _Pragma("GCC visibility push(default)")
#define CORVESTEL_API_END _Pragma("GCC visibility pop")
#define CORVESTEL_INTERNAL_BEGIN _Pragma("GCC visibility push(default)")
#define CORVESTEL_INTERNAL_END _Pragma("GCC visibility pop")
#else
#define CORVESTEL_API_BEGIN
#define CORVESTEL_API_END
#define CORVESTEL_INTERNAL_BEGIN
#define CORVESTEL_INTERNAL_END
#endif

#endif
