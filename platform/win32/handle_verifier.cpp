// The executable's one export, which every executable the editor ships has: tools that watch a process's
// handles look for it. This program keeps no handle-verifier object, so there is never one to hand out.
extern "C" __declspec(dllexport) void* GetHandleVerifier() {
    return nullptr;
}
