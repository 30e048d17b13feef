/* A small action module in plain C: one action type, GREET, whose run
 * greets the name in its text property 1 with a child item and reports a
 * status line. */
#include <stdio.h>
#include <string.h>

#include <zk40/module.h>

static ZKHostFunctions host;

static int Copy(const char* text, char* buffer, int size) {
    if (!buffer || size <= 0) return 0;
    int n = (int)strlen(text);
    if (n > size - 1) n = size - 1;
    memcpy(buffer, text, (size_t)n);
    buffer[n] = 0;
    return n;
}

static char* HostText(const char* text) {
    char* block = (char*)host.Alloc(strlen(text) + 1);
    if (block) strcpy(block, text);
    return block;
}

ZK_EXPORT void ZKSetHost(const ZKHostFunctions* h) { host = *h; }

ZK_EXPORT int ZKLoadString(uint32_t id, char* buffer, int size) {
    switch (id) {
        case ZK_STR_MODULE_ID: return Copy("GREETER", buffer, size);
        case ZK_STR_MODULE_NAME: return Copy("Greeter", buffer, size);
        case ZK_STR_VERSION: return Copy("3", buffer, size);
        case ZK_STR_VENDOR_ID: return Copy("SDKTEST", buffer, size);
        case ZK_STR_VENDOR_NAME: return Copy("SDK Example", buffer, size);
        default: return Copy("", buffer, size);
    }
}

ZK_EXPORT int ZKStart(int16_t moduleId) { return moduleId > 0; }
ZK_EXPORT int ZKEnableAction(const char* action) { return strcmp(action, "GREET") == 0; }
ZK_EXPORT int ZKDisableAction(const char* action) { return strcmp(action, "GREET") == 0; }

/* Greets the name in the action's text property 1 with a child item. */
ZK_EXPORT int ZKRunAction(ZKHwnd hwnd, const char* action, ZKActionHandle handle) {
    if (strcmp(action, "GREET") != 0) return 0;
    ZKPropertyRequest request;
    memset(&request, 0, sizeof request);
    request.id = 1;
    request.code = ZK_PROP_ACTION_TEXT;
    if (!host.Send(hwnd, ZKM_GET_PROPERTY, handle, (intptr_t)&request)) return 0;
    char line[ZK_PROPERTY_TEXT_SIZE + 16];
    snprintf(line, sizeof line, "Hello, %s", request.text);
    ZKChildText* child = (ZKChildText*)host.Alloc(sizeof(uint32_t) + strlen(line) + 1);
    if (!child) return 0;
    child->child = 1;
    strcpy(child->text, line);
    host.Send(hwnd, ZKM_SET_CHILD, handle, (intptr_t)child);
    host.Send(hwnd, ZKM_ACTION_STATUS, handle, (intptr_t)HostText("Greeted"));
    return 1;
}
