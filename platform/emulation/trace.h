// The call trace: one line per call of a registry function, written whole under a lock so
// lines of several threads never mix. Off, it costs each call one predictable branch.
#ifndef REGEMU_TRACE_H
#define REGEMU_TRACE_H

#include "control.h"
#include "regemu.h"

#include <atomic>
#include <functional>

namespace regemu {

// What a call was asked, for its trace line. Built from the call's arguments; output
// pointers are read after the call, and only when it reported through them.
struct TraceCall {
    enum class Name : unsigned char { None, Subkey, Value, Index };
    HKEY key = nullptr;
    Name nameKind = Name::None;
    const char *name = nullptr;  // subkey path or value name, as given
    DWORD index = 0;
    bool hasAccess = false;
    REGSAM access = 0;
    bool isWrite = false;  // a value write: the type and size given
    DWORD type = 0;
    DWORD size = 0;
    const DWORD *typeOut = nullptr;  // a value read: where the call reports them
    const DWORD *sizeOut = nullptr;
    const char *nameOut = nullptr;  // an enumeration: the name it reports
    const DWORD *nameLengthOut = nullptr;

    static TraceCall ofKey(HKEY key) { return TraceCall{key}; }
    static TraceCall ofSubkey(HKEY key, const char *subkey) {
        return TraceCall{key, Name::Subkey, subkey};
    }
    static TraceCall ofOpen(HKEY key, const char *subkey, REGSAM access) {
        TraceCall call{key, Name::Subkey, subkey};
        call.hasAccess = true;
        call.access = access;
        return call;
    }
    static TraceCall ofValue(HKEY key, const char *value) {
        return TraceCall{key, Name::Value, value};
    }
    static TraceCall ofRead(HKEY key, const char *value, const DWORD *type, const DWORD *size) {
        TraceCall call{key, Name::Value, value};
        call.typeOut = type;
        call.sizeOut = size;
        return call;
    }
    static TraceCall ofWrite(HKEY key, const char *value, DWORD type, DWORD size) {
        TraceCall call{key, Name::Value, value};
        call.isWrite = true;
        call.type = type;
        call.size = size;
        return call;
    }
    static TraceCall ofEnum(HKEY key, DWORD index, const char *name, const DWORD *nameLength,
                            const DWORD *type, const DWORD *size) {
        TraceCall call{key, Name::Index};
        call.index = index;
        call.nameOut = name;
        call.nameLengthOut = nameLength;
        call.typeOut = type;
        call.sizeOut = size;
        return call;
    }
};

// Whether a trace is being written; constant-initialized, so it is valid at any time.
extern std::atomic<bool> traceOn;

// Runs the call and writes its line. A trace that cannot be written never changes the call.
LONG tracedCall(Function function, const TraceCall &call, const std::function<LONG()> &run) noexcept;

// Set on a thread while a traced call runs the function again, untraced.
bool &insideTracedCall();

// The traced path, out of line: the function is called again with the same arguments.
template <class... Params, class... Passed>
[[gnu::cold, gnu::noinline]] LONG traceCall(Function function, const TraceCall &call,
                                            LONG (*again)(Params...), Passed... args) noexcept {
    return tracedCall(function, call, [&] {
        insideTracedCall() = true;
        const LONG result = again(args...);
        insideTracedCall() = false;
        return result;
    });
}

}  // namespace regemu

// The first statement of each registry function. With no trace asked for it is one
// predictable branch; the description is built, and the call made again, only when tracing.
#define REGEMU_TRACED(function, description, again, ...)                                      \
    if (__builtin_expect(::regemu::traceOn.load(std::memory_order_relaxed), false) &&           \
        !::regemu::insideTracedCall())                                                           \
    return ::regemu::traceCall(function, ::regemu::TraceCall::description, again, __VA_ARGS__)

namespace regemu {

// Starts writing to `path` ("-": standard error), or stops with NULL.
LONG traceTo(const char *path);

}  // namespace regemu

#endif
