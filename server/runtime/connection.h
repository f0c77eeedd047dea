// Connection loop: the server side of the framed wire protocol.
//
// Frame (both directions): 4-byte unsigned payload length in network byte
// order, then that many bytes of JSON text, no terminator. Requests of
// 1..KYREL_MAX_REQUEST_BYTES (8 MiB) bytes are read; any other length is answered with
// "invalid request size" and the connection is closed. Each request gets
// exactly one reply frame; requests on a connection are strictly sequential.
#pragma once

#include "base/frame_io.h"

// Thread body of a connection worker: pops ready sockets until shutdown.
void* connection_worker_thread(void* arg);
