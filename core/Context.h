#pragma once
// The shared objects of one core, handed down explicitly by whoever builds
// it: sessions, the dial-up code and the page models find them here and
// never through a global, so two servers can live in one process and the
// service host can run the core on a thread of its own.

class EventLoop;
class Setup;
class TimeManager;
class Host;

struct Context {
    EventLoop& loop;
    Setup& setup;
    TimeManager& timers;
    Host& host;
};
