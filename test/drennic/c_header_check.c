/* A C11 program against the public header: proves the header is C and the library links from C. */
#include <drennic/drennic.h>

#include <stdio.h>
#include <string.h>

_Static_assert(sizeof(CANFrame) == 28, "CANFrame");
_Static_assert(offsetof(CANFrame, data) == 18, "CANFrame.data");
_Static_assert(sizeof(ResultBlock) == 604, "ResultBlock");
_Static_assert(sizeof(HardwareInfo) == 68, "HardwareInfo");
_Static_assert(sizeof(NetworkInfo) == 88, "NetworkInfo");
_Static_assert(sizeof(LSSIdentity) == 24, "LSSIdentity");

static int failures = 0;

static void check(int condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

static int equalsAscii(const drn_char16* text, const char* expected) {
    size_t i = 0;
    for (; expected[i] != '\0'; ++i) {
        if (text[i] != (drn_char16)(unsigned char)expected[i]) {
            return 0;
        }
    }
    return text[i] == 0;
}

int main(void) {
    static const drn_char16 unknownDriver[] = u"no_such_interface.dll";
    CANFrame frame;
    ResultBlock result;

    CANopenDLL_Startup(0, unknownDriver);
    CANopenDLL_Startup(0, unknownDriver); /* a second start-up does nothing */
    check(Hardware_EnumerateHardware(NULL, 0) == DRN_NOT_INITIALIZED, "no driver: EnumerateHardware gives -7");
    check(Hardware_IsNetworkFunctional() == 0, "no driver: IsNetworkFunctional gives 0");

    memset(&frame, 0, sizeof frame);
    frame.id = 0x80;
    memset(&result, 0, sizeof result);
    CAN_Transmit(&frame, &result);
    check(result.code == DRN_REQUEST_FAILED, "no driver: CAN_Transmit gives -5");
    check(equalsAscii(result.message, "Hardware not initialized"), "no driver: CAN_Transmit message");

    CANopen_SetPostTransmitDelay(0);
    CANopenDLL_Shutdown();
    CANopenDLL_Shutdown();

    if (failures == 0) {
        printf("C header check passed\n");
    }
    return failures == 0 ? 0 : 1;
}
