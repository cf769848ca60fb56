#include "device/Workers.h"

#include "VELKCANDNM.h"
#include "device/ConnectionObject.h"

namespace dnm {

namespace {

using platform::ThreadPriority;

constexpr WorkerKind kKinds[kConnectionKinds] = {
    {"ConnectionObject::CreateExplicitMsgThread( ) DesMACID %d Created Explicit Msg Thread Error",
     "ConnectionObject::CreateExplicitMsgThread( ) DesMACID %d was Created successfully",
     "ConnectionObject( )::Start_ExplicitMsg   Error!Explicit Message Connection does not "
     "configure!",
     "ConnectionObject::Start_ExplicitMsg( )   Explicit Message Resumed successfully!",
     "ConnectionObject::Start_ExplicitMsg( )   Explicit Message Resumed Error!",
     "Delete Explicit Message Thread", nullptr, DNM_CreateDeviceExplicitMsgThreadError,
     DNM_ExplicitMsgNotConfigure, ThreadPriority::BelowNormal},
    {"ConnectionObject::CreatePollThread( ) DesMACID %d Created Poll Thread Error",
     "ConnectionObject::CreatePollThread( ) DesMACID %d was Created successfully",
     "ConnectionObject( )::Start_Poll   Error!Poll Connection does not configure!",
     "ConnectionObject::Start_Poll( )   Poll Thread Resumed successfully!",
     "ConnectionObject::Start_Poll( )   Poll Thread Resumed Error!", "Delete Poll Thread",
     "Delete Poll Input/Output Buffer", DNM_CreateDevicePollThreadError, DNM_PollNotConfigure,
     ThreadPriority::BelowNormal},
    {"ConnectionObject::CreateBitStrobeThread( ) DesMACID %d Created BitStrobe Thread Error",
     "ConnectionObject::CreateBitStrobeThread( ) DesMACID %d was Created successfully",
     "ConnectionObject( )::Start_BitStrobe   Error!BitStrobe Connection does not configure!",
     "ConnectionObject::Start_BitStrobe( )   BitStrobe Thread Resumed successfully!",
     "ConnectionObject::Start_BitStrobe( )   BitStrobe Thread Resumed Error!",
     "Delete BitStrobe Thread", "Delete Bit-Strobe Input/Output Buffer",
     DNM_CreateBitStrobeThreadError, DNM_BitStrobeNotConfigure, ThreadPriority::Normal},
    {"ConnectionObject::CreateCOS_CyclicThread( ) DesMACID %d Created COS/Cyclice Thread Error",
     "ConnectionObject::CreateCOS_CyclicThread( ) DesMACID %d was Created successfully",
     "ConnectionObject( )::Start_COS_Cyclic   Error!COS_Cyclic Connection does not configure!",
     "ConnectionObject::Start_COS_Cyclic( )   COS_Cyclic Thread Resumed successfully!",
     "ConnectionObject::Start_COS_Cyclic( )   COS_Cyclic Thread Resumed Error!",
     "Delete COS_Cyclic Thread", "Delete COS_Cyclic Input/Output Buffer",
     DNM_CreateCOS_CyclicThreadError, DNM_COS_CyclicNotConfigure, ThreadPriority::Normal},
};

}  // namespace

const WorkerKind& WorkerKindOf(ConnectionKind kind) {
  return kKinds[kind];
}

void RunWorker(CANPort& port, Device_Info& device, ConnectionObject& connection) {
  switch (connection.kind()) {
    case kExplicit:
      ExplicitWorker(port, device, connection);
      return;
    case kPoll:
      PollWorker(port, device, connection);
      return;
    case kBitStrobe:
      BitStrobeWorker(port, device, connection);
      return;
    case kCosCyclic:
      CosCyclicWorker(port, device, connection);
      return;
  }
}

}  // namespace dnm
