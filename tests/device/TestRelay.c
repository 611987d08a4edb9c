/* A minimal device library for the binding's tests: the twelve exports (or
   eleven, with TEST_RELAY_OMIT_SET_FEATURE) and an Init result chosen at
   build time. It reaches no device. */
#include "wire/HidRelay.h"

#ifndef TEST_RELAY_INIT_RESULT
#define TEST_RELAY_INIT_RESULT 1
#endif

static int g_initFlags = -1;
static int g_endCalls = 0;

HIDRELAY_API int TestRelayInitFlags(void) { return g_initFlags; }
HIDRELAY_API int TestRelayEndCalls(void) { return g_endCalls; }

HIDRELAY_API int Debug(int level) { return level; }
HIDRELAY_API int Init(int flags)
{
    g_initFlags = flags;
    return TEST_RELAY_INIT_RESULT;
}
HIDRELAY_API int End(void)
{
    ++g_endCalls;
    return 1;
}
HIDRELAY_API int RequestGetDeviceCount(const HidRelaySelector* s, HidRelayCallback c, uint32_t t, uint32_t u,
                                       HidRelayHandle* h)
{
    (void)s, (void)c, (void)t, (void)u, (void)h;
    return 0;
}
HIDRELAY_API int DeleteRequestFromUnitId(HidRelayHandle h) { return (void)h, 0; }
HIDRELAY_API int DeleteRequestFromHandle(HidRelayHandle h) { return (void)h, 0; }
HIDRELAY_API int RequestWrite(const HidRelaySelector* s, HidRelayCallback c, uint32_t t, const uint8_t* d, uint32_t n,
                              uint32_t u, HidRelayHandle* h)
{
    (void)s, (void)c, (void)t, (void)d, (void)n, (void)u, (void)h;
    return 0;
}
HIDRELAY_API int RequestWriteOne(const HidRelaySelector* s, HidRelayCallback c, uint32_t t, const uint8_t* d,
                                 uint32_t n, uint32_t u, HidRelayHandle* h)
{
    (void)s, (void)c, (void)t, (void)d, (void)n, (void)u, (void)h;
    return 0;
}
HIDRELAY_API int RequestStatusWrite(const HidRelaySelector* s, HidRelayCallback c, uint32_t t, const uint8_t* d,
                                    uint32_t n, uint32_t u, HidRelayHandle* h)
{
    (void)s, (void)c, (void)t, (void)d, (void)n, (void)u, (void)h;
    return 0;
}
HIDRELAY_API int RequestStatusGet(const HidRelaySelector* s, HidRelayCallback c, uint32_t t, uint8_t* d, uint32_t n,
                                  uint32_t u, HidRelayHandle* h)
{
    (void)s, (void)c, (void)t, (void)d, (void)n, (void)u, (void)h;
    return 0;
}
HIDRELAY_API int RequestAsyncRead(const HidRelaySelector* s, HidRelayCallback c, uint32_t t, uint32_t u,
                                  HidRelayHandle* h)
{
    (void)s, (void)c, (void)t, (void)u, (void)h;
    return 0;
}
#ifndef TEST_RELAY_OMIT_SET_FEATURE
HIDRELAY_API int RequestStatusSetFeature(const HidRelaySelector* s, HidRelayCallback c, uint32_t t, const uint8_t* d,
                                         uint32_t n, uint32_t u, HidRelayHandle* h)
{
    (void)s, (void)c, (void)t, (void)d, (void)n, (void)u, (void)h;
    return 0;
}
#endif
