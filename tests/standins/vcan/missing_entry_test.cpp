// The build variant without CAN_Status: the entry is gone, the rest is still there.

#include <dlfcn.h>
#include <gtest/gtest.h>

namespace {

constexpr const char* kEntries[] = {
    "CAN_GetDllVersion", "CAN_ActiveBoard",     "CAN_TotalBoard",
    "CAN_BoardIsActive", "CAN_Reset",           "CAN_Init",
    "CAN_Config",        "CAN_EnableRxIrq",     "CAN_DisableRxIrq",
    "CAN_RxIrqStatus",   "CAN_InstallIrq",      "CAN_RemoveIrq",
    "CAN_IrqStatus",     "CAN_SendMsg",         "CAN_RxMsgCount",
    "CAN_ReceiveMsg",    "CAN_ClearSoftBuffer", "CAN_ClearDataOverrun",
    "CAN_OutputByte",    "CAN_InputByte",       "CAN_GetBoardInf",
    "CAN_CloseBoard",    "CAN_GetSystemFreq",   "CAN_WaitRxMsg",
    "VCAN_FailEntry"};

TEST(CardVariant, MissingEntryVariantLacksOnlyCanStatus) {
  void* card = dlopen(VCAN_MISSING_ENTRY_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(card, nullptr) << dlerror();
  EXPECT_EQ(dlsym(card, "CAN_Status"), nullptr);
  for (const char* entry : kEntries) EXPECT_NE(dlsym(card, entry), nullptr) << entry;
}

TEST(CardVariant, FullCardHasEveryEntry) {
  void* card = dlopen(VCAN_FULL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(card, nullptr) << dlerror();
  EXPECT_NE(dlsym(card, "CAN_Status"), nullptr);
  for (const char* entry : kEntries) EXPECT_NE(dlsym(card, entry), nullptr) << entry;
}

}  // namespace
