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

// The endpoint to bind for `endpoint`: localhost becomes 127.0.0.1 (ZeroMQ would take it for an
// interface name). Throws std::invalid_argument for a tcp port that is not *, 0 or 1 to 65535.
std::string bindable_endpoint(const std::string &endpoint);

// Reads a CURVE key in Z85 text (40 characters; blank lines and lines starting with '#' are
// skipped). Throws std::runtime_error naming the file when it cannot be read, holds no key, or
// is marked as a key of the other kind (vorn-serve --keygen writes "# vorn CURVE public key" or
// "# vorn CURVE secret key" above the key).
std::string read_public_key_file(const std::filesystem::path &path);
// As above, and refuses a secret that its group or others may read, as ssh does.
std::string read_secret_key_file(const std::filesystem::path &path);
// True when the file is marked, or named (.secret), as a secret key.
bool looks_like_secret_key_file(const std::filesystem::path &path);

// Writes a new key pair as PREFIX.pub and PREFIX.secret, each created exclusively, without
// following a symlink, and with its final mode from the start (the secret 0600). Throws
// std::runtime_error naming the file on failure, and when either file exists already.
void write_key_pair(const std::string &prefix);

// The public key belonging to a Z85 secret key; throws std::runtime_error for a malformed one.
std::string public_key_of(const std::string &secret_z85);

} // namespace vorn::remote
