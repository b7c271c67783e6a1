/* Stand-in for a kernel driver of another maker: it carries a version record and refuses to
 * start. */
typedef long NTSTATUS;
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)

NTSTATUS __stdcall standin_entry(void* driver_object, void* registry_path) {
    (void)driver_object;
    (void)registry_path;
    return STATUS_NOT_SUPPORTED;
}
