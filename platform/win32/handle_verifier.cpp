// The executable's one export. Tools that watch a process's handles look for it; this program keeps no
// handle-verifier object, so there is never one to hand out.
extern "C" __declspec(dllexport) void* GetHandleVerifier() {
    return nullptr;
}
