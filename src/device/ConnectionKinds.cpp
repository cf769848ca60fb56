#include "device/ConnectionKinds.h"

#include "VELKCANDNM.h"
#include "device/Workers.h"

namespace dnm {

namespace {

using platform::ThreadPriority;

constexpr ConnectionKindInfo kKinds[kConnectionKinds] = {
    {.kind = kExplicit,
     .instance = 1,
     .choice_bits = kChoiceExplicit,
     .request_message = 0,
     .produced_message = 0,
     .rate_sent_whole = false,
     .thread_text = nullptr,
     .ucmm_refused_text = nullptr,
     .ucmm_unanswered_text = nullptr,
     .worker = {"ConnectionObject::CreateExplicitMsgThread( ) DesMACID %d Created Explicit Msg "
                "Thread Error",
                "ConnectionObject::CreateExplicitMsgThread( ) DesMACID %d was Created successfully",
                "ConnectionObject( )::Start_ExplicitMsg   Error!Explicit Message Connection does "
                "not configure!",
                "ConnectionObject::Start_ExplicitMsg( )   Explicit Message Resumed successfully!",
                "ConnectionObject::Start_ExplicitMsg( )   Explicit Message Resumed Error!",
                "Delete Explicit Message Thread", nullptr, DNM_CreateDeviceExplicitMsgThreadError,
                DNM_ExplicitMsgNotConfigure, ThreadPriority::BelowNormal},
     .body = ExplicitWorker},
    {.kind = kPoll,
     .instance = 2,
     .choice_bits = kChoicePoll,
     .request_message = 5,    // the poll command
     .produced_message = 15,  // the poll response
     .rate_sent_whole = false,
     .thread_text = "Poll_Thread( )",
     .ucmm_refused_text = "Poll_Thread( ) Allocate Poll Connection Error Response!",
     .ucmm_unanswered_text = "Poll_Thread( ) Allocate Poll Connection No Response!",
     .worker = {"ConnectionObject::CreatePollThread( ) DesMACID %d Created Poll Thread Error",
                "ConnectionObject::CreatePollThread( ) DesMACID %d was Created successfully",
                "ConnectionObject( )::Start_Poll   Error!Poll Connection does not configure!",
                "ConnectionObject::Start_Poll( )   Poll Thread Resumed successfully!",
                "ConnectionObject::Start_Poll( )   Poll Thread Resumed Error!",
                "Delete Poll Thread", "Delete Poll Input/Output Buffer",
                DNM_CreateDevicePollThreadError, DNM_PollNotConfigure, ThreadPriority::BelowNormal},
     .body = PollWorker},
    {.kind = kBitStrobe,
     .instance = 3,
     .choice_bits = kChoiceBitStrobe,
     .request_message = 0,    // the bit-strobe command, on the master's MAC ID
     .produced_message = 14,  // the bit-strobe response
     .rate_sent_whole = false,
     .thread_text = "BitStrobe_Thread( )",
     .ucmm_refused_text = "BitStrobe_Thread( ) Allocate_UCMM BitStrobe Connection Error Response!",
     .ucmm_unanswered_text = "BitStrobe_Thread( ) Allocate BitStrobe Connection No Response!",
     .worker = {"ConnectionObject::CreateBitStrobeThread( ) DesMACID %d Created BitStrobe Thread "
                "Error",
                "ConnectionObject::CreateBitStrobeThread( ) DesMACID %d was Created successfully",
                "ConnectionObject( )::Start_BitStrobe   Error!BitStrobe Connection does not "
                "configure!",
                "ConnectionObject::Start_BitStrobe( )   BitStrobe Thread Resumed successfully!",
                "ConnectionObject::Start_BitStrobe( )   BitStrobe Thread Resumed Error!",
                "Delete BitStrobe Thread", "Delete Bit-Strobe Input/Output Buffer",
                DNM_CreateBitStrobeThreadError, DNM_BitStrobeNotConfigure, ThreadPriority::Normal},
     .body = BitStrobeWorker},
    {.kind = kCosCyclic,
     .instance = 4,
     .choice_bits = kChoiceCos | kChoiceCyclic,
     .request_message = 2,    // the acknowledgement of an input
     .produced_message = 13,  // the input produced on change or cyclically
     .rate_sent_whole = true,
     .thread_text = "COS_Cyclic_Thread( )",
     .ucmm_refused_text = "COS_Cyclic_Thread( ) Allocate COS_Cyclic Connection Error Response!",
     .ucmm_unanswered_text = "COS_Cyclic_Thread( ) Allocate COS_Cyclic Connection No Response!",
     .worker = {"ConnectionObject::CreateCOS_CyclicThread( ) DesMACID %d Created COS/Cyclice "
                "Thread Error",
                "ConnectionObject::CreateCOS_CyclicThread( ) DesMACID %d was Created successfully",
                "ConnectionObject( )::Start_COS_Cyclic   Error!COS_Cyclic Connection does not "
                "configure!",
                "ConnectionObject::Start_COS_Cyclic( )   COS_Cyclic Thread Resumed successfully!",
                "ConnectionObject::Start_COS_Cyclic( )   COS_Cyclic Thread Resumed Error!",
                "Delete COS_Cyclic Thread", "Delete COS_Cyclic Input/Output Buffer",
                DNM_CreateCOS_CyclicThreadError, DNM_COS_CyclicNotConfigure,
                ThreadPriority::Normal},
     .body = CosCyclicWorker},
};

// Each entry stands at its kind's place, with its instance.
constexpr bool InPlace() {
  for (uint8_t i = 0; i < kConnectionKinds; ++i) {
    if (kKinds[i].kind != i || kKinds[i].instance != i + 1) return false;
  }
  return true;
}
static_assert(InPlace());

}  // namespace

const ConnectionKindInfo& KindInfo(ConnectionKind kind) {
  return kKinds[kind];
}

}  // namespace dnm
