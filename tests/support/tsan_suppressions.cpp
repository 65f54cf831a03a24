// ThreadSanitizer's suppressions for every test program, each for
// synchronisation it cannot see because the library doing it was not built
// with it. Linked into each test executable directly, so the runtime finds it.
extern "C" const char *__tsan_default_suppressions()
{
    return
        // A test client and Orvel share port buffers inside one process; the
        // JACK server hands them over through its own semaphores. Only stacks
        // through a test client's process function match.
        "race:JackPeer::process_thunk\n"
        // libjack's own threads, joined or not as it sees fit.
        "thread:libjack.so\n";
}
