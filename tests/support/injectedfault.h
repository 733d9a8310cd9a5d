#pragma once
// A failing disk for one scope, through the preloaded tests/support/faultshim.c: the Nth call of
// a file function on a path containing a text fails with an error number, or transfers half.
// Arm it only while no other thread of the test touches files.

#include <QByteArray>
#include <QString>

#include <dlfcn.h>

// Whether the shim is preloaded; a test of a failing disk without it would test nothing.
inline bool faultShimLoaded()
{
    return dlsym(RTLD_DEFAULT, "facemaskFaultShimLoaded") != nullptr;
}

class InjectedFault
{
public:
    // fault: "CALL:TEXT:N:WHAT", as faultshim.c describes; empty arms nothing.
    explicit InjectedFault(const QString& fault) { qputenv("FACEMASK_FAULT", fault.toUtf8()); }
    ~InjectedFault() { qunsetenv("FACEMASK_FAULT"); }
    InjectedFault(const InjectedFault&) = delete;
    InjectedFault& operator=(const InjectedFault&) = delete;
};
