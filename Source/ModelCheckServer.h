#pragma once

// Some damaged model files crash the model runtime's loader outright (a segmentation fault, not an
// error it reports). So every model file is first read by a process of its own: a "reader", forked
// for that one file by a checking session, forked from a checking server, itself forked by a
// keeper that the program forks off at the very start of main(), while it still has a single
// thread. The runtime is then already loaded in all of them: nothing has to start up per check, a
// reader that dies takes nothing else down, and a server that dies is replaced by a fork of the
// keeper, as cheap as the first. Each processor talks to a session of its own (see ModelFileCheck).
//
//   program ── keeper ── server ── session ── reader
//
// Each of these processes ends when its parent does, reaps its own children, and holds no
// descriptor of the program's apart from its socket.
namespace ModelCheckServer
{
    // Call first in main(), before any thread is started. When the executable was started as a
    // keeper (to replace one that died), runs it and never returns.
    void startFromMain (int argc, char** argv);

    // True once startFromMain has started a keeper in this program.
    bool isAvailable();

    // A socket to a new checking session, or -1 when no keeper was started in this program. A
    // server that has died is replaced by the keeper; a keeper that has died is reaped and
    // replaced by this executable started as one (slower: the runtime has to load).
    int openSession();

    // Messages of a session, one per packet: a tag byte, then a 32-bit value or a descriptor.
    // A client that closes its end while a reader runs has the reader killed.
    enum Tag : char
    {
        checkRequest = 'C',  // client to session, with the snapshot's descriptor
        readerStarted = 'P', // session to client: the reader's process id
        readerEnded = 'R',   // session to client: its wait status
    };

    // The names the checking processes carry (in /proc/<pid>/comm).
    constexpr const char* keeperName = "calbrix-keeper";
    constexpr const char* serverName = "calbrix-check";
    constexpr const char* sessionName = "calbrix-session";
    constexpr const char* readerName = "calbrix-reader";
}
