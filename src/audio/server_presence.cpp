#include "audio/server_presence.h"

#include <dlfcn.h>
#include <jack/jack.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Where jackd puts its sockets on Linux.
constexpr const char *JACKD_SOCKET_DIR = "/dev/shm";

// PipeWire's libjack has no sockets and no database: nothing to ask, nothing to fear.
bool jackd_library()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&jack_client_open), &info) == 0 || info.dli_fname == nullptr)
        return true;
    return std::strstr(info.dli_fname, "pipewire") == nullptr;
}

// jackd's name for the socket of server 0: slashes become underscores, and a
// promiscuous server leaves out the user id.
std::string request_socket_path(const std::string &server_name)
{
    std::string name = server_name;
    std::replace(name.begin(), name.end(), '/', '_');
    std::replace(name.begin(), name.end(), '\\', '_');
    char path[256];
    if (std::getenv("JACK_PROMISCUOUS_SERVER") != nullptr)
        std::snprintf(path, sizeof path, "%s/jack_%s_0", JACKD_SOCKET_DIR, name.c_str());
    else
        std::snprintf(path, sizeof path, "%s/jack_%s_%u_0", JACKD_SOCKET_DIR, name.c_str(),
                      static_cast<unsigned>(geteuid()));
    return path;
}

}  // namespace

std::string jack_server_name()
{
    const char *name = std::getenv("JACK_DEFAULT_SERVER");
    return name != nullptr ? name : "default";
}

bool jack_server_may_listen(const std::string &server_name)
{
    static const bool ask = jackd_library();
    if (!ask)
        return true;
    const std::string path = request_socket_path(server_name);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return true;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Non-blocking: a server too busy to accept must not hold up the caller.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return true;
    const int result = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    const int error = errno;
    close(fd);
    return result == 0 || (error != ENOENT && error != ECONNREFUSED);
}
