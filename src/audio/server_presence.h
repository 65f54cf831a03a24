#pragma once
// Whether a JACK server may be there to join, asked without libjack.
//
// libjack opens its metadata database on every jack_client_open, and jackd
// creates that database as it starts (and removes it as it stops). A client
// that opens while a server creates it can die of SIGBUS inside libdb. A
// jackd accepts on its request socket only once the database is ready, so a
// client that first knocks on the socket, and leaves libjack alone while
// nobody answers, is safe from that race and polls for a server cheaply.

#include <string>

// The server a client joins: JACK_DEFAULT_SERVER if set, else "default".
std::string jack_server_name();

// False when jackd's request socket for server_name is missing or refuses
// (no server, or one that died and left its socket behind); true when it
// accepts, and whenever the answer cannot be known this way (another libjack,
// such as PipeWire's, or a socket that cannot be reached): then libjack
// decides. Any thread; a connect and a close, nothing else.
bool jack_server_may_listen(const std::string &server_name);
