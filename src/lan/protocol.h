// The LAN test's wire protocol: one command byte per connection, then either a
// one-byte echo or a stream of fixed-size blocks in one direction.
#pragma once

#include <cstddef>

#include "platform/socket.h"

namespace linkrate {

inline constexpr unsigned char kCommandPing = 0x50;      // 'P': one byte back, then close
inline constexpr unsigned char kCommandDownload = 0x44;  // 'D': server streams blocks
inline constexpr unsigned char kCommandUpload = 0x55;    // 'U': client streams blocks

// Every send passes a whole block; every receive asks for up to a block.
inline constexpr std::size_t kBlockSize = 65536;
inline constexpr unsigned char kDownloadFill = 0x5A;
inline constexpr unsigned char kUploadFill = 0xA5;

inline constexpr int kSocketBufferBytes = 524288;
// A receive that gets nothing, or a send that cannot proceed, fails after this.
inline constexpr int kSocketTimeoutMs = 5000;

// Applies the options of every data connection, on both ends: no Nagle
// delay, 512 KiB buffers each way, 5 s send and receive time-outs. A setting
// the system refuses is skipped; the connection then keeps its default.
void set_socket_tuning(platform::SocketHandle socket);

}  // namespace linkrate
