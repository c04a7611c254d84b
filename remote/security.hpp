// What vorn-serve and the client plug-in share about reaching each other safely: which
// endpoints stay on this machine, CURVE key files, and the heartbeat settings of every socket.
#pragma once

#include <filesystem>
#include <string>

namespace vorn::remote {

// Heartbeats between ZeroMQ peers: a peer silent this long has its connection closed.
inline constexpr int heartbeat_interval_ms = 500;
inline constexpr int heartbeat_timeout_ms = 2000;
// Kernel socket buffers of stream connections: large enough to keep a fast link busy.
inline constexpr int stream_socket_buffer_bytes = 4 << 20;

// True for endpoints no other machine can reach: tcp on 127.0.0.0/8, localhost or ::1, ipc and
// inproc. Anything else (a wildcard, a host name, another address, another transport) is false.
bool is_loopback_endpoint(const std::string &endpoint);

// Reads a CURVE key in Z85 text (40 characters; blank lines and lines starting with '#' are
// skipped). Throws std::runtime_error naming the file when it cannot be read or holds no key.
std::string read_key_file(const std::filesystem::path &path);

// Writes a new key pair as PREFIX.pub and PREFIX.secret (the secret readable by its owner only).
// Throws std::runtime_error naming the file on failure.
void write_key_pair(const std::string &prefix);

// The public key belonging to a Z85 secret key; throws std::runtime_error for a malformed one.
std::string public_key_of(const std::string &secret_z85);

} // namespace vorn::remote
