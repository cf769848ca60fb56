// The build variant without CAN_Status: the entry is gone, the rest is still there.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CardVariant, MissingEntryVariantLacksOnlyCanStatus) {
  for (const std::string library : {VCAN_MISSING_ENTRY_LIBRARY, VCAN_FULL_LIBRARY}) {
    void* card = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(card, nullptr) << dlerror();
    EXPECT_EQ(dlsym(card, "CAN_Status") != nullptr, library == VCAN_FULL_LIBRARY);
    for (const char* entry : {"CAN_GetDllVersion", "CAN_ActiveBoard",     "CAN_TotalBoard",
                              "CAN_BoardIsActive", "CAN_Reset",           "CAN_Init",
                              "CAN_Config",        "CAN_EnableRxIrq",     "CAN_DisableRxIrq",
                              "CAN_RxIrqStatus",   "CAN_InstallIrq",      "CAN_RemoveIrq",
                              "CAN_IrqStatus",     "CAN_SendMsg",         "CAN_RxMsgCount",
                              "CAN_ReceiveMsg",    "CAN_ClearSoftBuffer", "CAN_ClearDataOverrun",
                              "CAN_OutputByte",    "CAN_InputByte",       "CAN_GetBoardInf",
                              "CAN_CloseBoard",    "CAN_GetSystemFreq",   "CAN_WaitRxMsg",
                              "VCAN_FailEntry"})
      EXPECT_NE(dlsym(card, entry), nullptr) << library << " " << entry;
  }
}

}  // namespace
