// The device link library in one header: modules and their entities, the
// link and its value streams, packets and UEI messages, streams and
// discovery over USB, TCP/IP, serial ports and the local network server.
//
//   #include <corvestel/corvestel.h>
//   c++ -std=c++17 prog.cpp $(pkg-config --cflags --libs corvestel)
//
// Classes live in the namespace Quorvane::Corvestel; the a-prefixed free
// functions below them and the aErr codes are global. The link types USB,
// TCPIP, SERIAL and AETHER are also global unless the program defines
// CORVESTEL_NO_GLOBAL_LINK_TYPES first.
#ifndef CORVESTEL_CORVESTEL_H
#define CORVESTEL_CORVESTEL_H

#include <corvestel/version.h>

#include <corvestel/link/aError.h>
#include <corvestel/link/aDefs.h>
#include <corvestel/link/aVersion.h>
#include <corvestel/link/aPacket.h>
#include <corvestel/link/aUEI.h>
#include <corvestel/link/packetfifo.h>
#include <corvestel/link/aLink.h>
#include <corvestel/link/aLogger.h>
#include <corvestel/link/aPacketDebug.h>
#include <corvestel/link/aDebugging.h>
#include <corvestel/link/Link.h>
#include <corvestel/link/Module.h>
#include <corvestel/link/Entity.h>
#include <corvestel/link/SystemClass.h>
#include <corvestel/link/I2CClass.h>

#include <corvestel/transport/aStream.h>
#include <corvestel/transport/aStreamsocket.h>
#include <corvestel/transport/unix_streamserial.h>
#include <corvestel/transport/unix_streamusb.h>
#include <corvestel/transport/discover.h>
#include <corvestel/transport/aServer_ZeroMQ.h>
#include <corvestel/transport/aStream_ZeroMQClient.h>
#include <corvestel/transport/unix_file.h>
#include <corvestel/transport/unix_mutex.h>
#include <corvestel/transport/unix_thread.h>
#include <corvestel/transport/unix_time.h>

#endif
