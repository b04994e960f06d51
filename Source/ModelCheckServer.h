#pragma once

// Some damaged model files crash the model runtime's loader outright (a segmentation fault, not an
// error it reports). So every model file is first read by a process of its own: a "reader", forked
// for that one file by a checking session, itself forked from a checking server that the program
// forks off at the very start of main(), while it still has a single thread. The runtime is then
// already loaded in the server: nothing has to start up per check, and a reader that dies takes
// nothing else down. Each processor talks to a session of its own (see ModelFileCheck).
namespace ModelCheckServer
{
    // Call first in main(), before any thread is started. When the executable was started as a
    // checking server (to replace one that died), runs it and never returns.
    void startFromMain (int argc, char** argv);

    // True once startFromMain has started a server in this program.
    bool isAvailable();

    // A socket to a new checking session, or -1 when no server was started in this program. A
    // server that has died is replaced by this executable started as one.
    int openSession();

    // Messages of a session, one per packet: a tag byte, then a 32-bit value or a descriptor.
    enum Tag : char
    {
        checkRequest = 'C',  // client to session, with the snapshot's descriptor
        readerStarted = 'P', // session to client: the reader's process id
        readerEnded = 'R',   // session to client: its wait status
    };
}
