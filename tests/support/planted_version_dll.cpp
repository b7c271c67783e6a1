// A DLL named like a system module, planted beside a program to show that the library does not
// load it. Its one export marks it.
extern "C" __declspec(dllexport) int corvane_planted_marker() {
    return 0x706C6E74;
}
