// The host calls devices through virtual-table slots and stores records as
// raw bytes: both layouts are fixed by the host, not by us.
//
// Target-dependent: the slot tests read the compiler's representation of
// pointers to virtual members (it differs between x86-64 and MIPS, see
// below); the record tests expect a little-endian machine, as the controller
// is.
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "driver/norvane.h"

namespace {

// Where a pointer to a virtual member function keeps its "virtual" flag.
// Both variants are the Itanium C++ ABI's; which one applies is the target's:
//  - x86-64: ptr = 1 + the function's byte offset in the virtual table,
//    adj = the this-adjustment;
//  - MIPS (like ARM), whose code addresses may have the low bit set for the
//    compressed instruction set: ptr = the byte offset, adj = 2 * the
//    this-adjustment + 1.
#if defined(__mips__) || defined(__arm__) || defined(__aarch64__)
constexpr bool kVirtualFlagInAdjustment = true;
#else
constexpr bool kVirtualFlagInAdjustment = false;
#endif

// Slot index of a virtual member function of the primary chain
// (this-adjustment 0), read from the pointer's representation.
template <typename MemberFunction>
long slot_of(MemberFunction member) {
  struct Representation {
    uintptr_t ptr;
    ptrdiff_t adj;
  };
  static_assert(sizeof(MemberFunction) == sizeof(Representation));
  Representation r;
  std::memcpy(&r, &member, sizeof r);
  uintptr_t table_offset = r.ptr;
  if (kVirtualFlagInAdjustment) {
    EXPECT_EQ(r.adj, 1) << "not a virtual member function on the primary chain";
  } else {
    EXPECT_EQ(r.ptr & 1u, 1u) << "not a virtual member function";
    EXPECT_EQ(r.adj, 0) << "not on the primary chain";
    table_offset -= 1;
  }
  EXPECT_EQ(table_offset % sizeof(void*), 0u);
  return static_cast<long>(table_offset / sizeof(void*));
}

using Device = UniDataDevice<Norvane_Data_t, SPModbus, norvane::kRecordType>;

TEST(VirtualSlots, FollowTheHostOrderFromGetValueToUseControllerDb) {
  EXPECT_EQ(slot_of(&VDeviceInterface::Get_Value), 0);
  EXPECT_EQ(slot_of(static_cast<int (VDeviceInterface::*)(const std::string&)>(
                &VDeviceInterface::LoadFromCache)),
            1);
  EXPECT_EQ(slot_of(static_cast<int (VDeviceInterface::*)(const unsigned char*, int)>(
                &VDeviceInterface::LoadFromCache)),
            2);
  EXPECT_EQ(slot_of(&VDeviceInterface::DataId), 3);
  EXPECT_EQ(slot_of(&VDeviceInterface::DeviceType), 4);
  EXPECT_EQ(slot_of(&VDeviceInterface::DeviceIoControl), 5);
  EXPECT_EQ(slot_of(&VDeviceInterface::RoundDone), 6);
  EXPECT_EQ(slot_of(&VDeviceInterface::UseControllerDb), 7);
}

// Slots 8 and 9 are the complete and the deleting destructor: Reset follows
// UseControllerDb at a distance of three.
TEST(VirtualSlots, FollowTheHostOrderFromResetToGetSpValue) {
  EXPECT_EQ(slot_of(&SMDVDevice::Reset), 10);
  EXPECT_EQ(slot_of(&SMDVDevice::InitV), 11);
  EXPECT_EQ(slot_of(&SMDVDevice::Init), 12);
  EXPECT_EQ(slot_of(&SMDVDevice::InitSetting), 13);
  EXPECT_EQ(slot_of(&SMDVDevice::IsSupportDevice), 14);
  EXPECT_EQ(slot_of(&SMDVDevice::GetChildVDevice), 15);
  EXPECT_EQ(slot_of(&SMDVDevice::GetAllChildVDevices), 16);
  EXPECT_EQ(slot_of(&SMDVDevice::SendSP), 17);
  EXPECT_EQ(slot_of(&SMDVDevice::SendDelayData), 18);
  EXPECT_EQ(slot_of(&SMDVDevice::SendDoData), 19);
  EXPECT_EQ(slot_of(&SMDVDevice::ReadDi), 20);
  EXPECT_EQ(slot_of(&SMDVDevice::ReadAi), 21);
  EXPECT_EQ(slot_of(&SMDVDevice::Get_SP_Value), 22);
}

TEST(VirtualSlots, FollowTheHostOrderFromRefreshStatusToRunCheckThreshold) {
  EXPECT_EQ(slot_of(&SMDSPDevice::RefreshStatus), 23);
  EXPECT_EQ(slot_of(&SMDSPDevice::process), 24);
  EXPECT_EQ(slot_of(&SMDSPDevice::IsProcessing), 25);
  EXPECT_EQ(slot_of(&SMDSPDevice::IsStalled), 26);
  EXPECT_EQ(slot_of(&SMDSPDevice::SendData), 27);
  EXPECT_EQ(slot_of(&SMDSPDevice::SendParityData), 28);
  EXPECT_EQ(slot_of(&SMDSPDevice::OpenPort), 29);
  EXPECT_EQ(slot_of(&SMDSPDevice::ClosePort), 30);
  EXPECT_EQ(slot_of(&SPModbus::process_payload), 31);
  EXPECT_EQ(slot_of(&SPModbus::on_error), 32);
  EXPECT_EQ(slot_of(&Device::RunCheckThreshold), 33);
}

TEST(VirtualSlots, DeviceOverridesTakeTheSlotsTheyReplace) {
  EXPECT_EQ(
      slot_of(static_cast<int (Device::*)(const unsigned char*, int)>(&Device::LoadFromCache)), 2);
  EXPECT_EQ(slot_of(&Device::RoundDone), 6);
  EXPECT_EQ(slot_of(&Device::InitSetting), 13);
  EXPECT_EQ(slot_of(&Norvane::Get_Value), 0);
  EXPECT_EQ(slot_of(&Norvane::DeviceIoControl), 5);
  EXPECT_EQ(slot_of(&Norvane::InitSetting), 13);
  EXPECT_EQ(slot_of(&Norvane::RefreshStatus), 23);
  EXPECT_EQ(slot_of(&Norvane::process_payload), 31);
  EXPECT_EQ(slot_of(&Norvane::RunCheckThreshold), 33);
}

// The record's bytes as the controller stores them: little-endian. Holds on
// little-endian machines only (driver/norvane_record.h builds for no other).
TEST(RecordLayout, MultiByteFieldsAreLittleEndianAtTheirOffsets) {
  Norvane_Data_t record;
  std::memset(&record, 0, sizeof record);
  record.data_id = 0x11223344;
  record.set_temperature = 0xA1B2;
  record.return_air_temp = 0x0102;
  record.heater_run_time = 0xBEEF;
  record.update_time = TTime{2024, 12, 31, 23, 59, 5};

  unsigned char bytes[sizeof record];
  std::memcpy(bytes, &record, sizeof record);
  ASSERT_EQ(sizeof record, 121u);
  EXPECT_EQ(bytes[0], 0x44);
  EXPECT_EQ(bytes[3], 0x11);
  EXPECT_EQ(bytes[4], 0xB2);
  EXPECT_EQ(bytes[5], 0xA1);
  EXPECT_EQ(bytes[26], 0x02);
  EXPECT_EQ(bytes[27], 0x01);
  EXPECT_EQ(bytes[112], 0xEF);
  EXPECT_EQ(bytes[113], 0xBE);
  const unsigned char stamp[7] = {0xE8, 0x07, 12, 31, 23, 59, 5};  // 2024 = 0x07E8
  EXPECT_EQ(std::memcmp(bytes + 114, stamp, sizeof stamp), 0);
}

TEST(RecordLayout, RegisterWordsAreFoundThroughTheRegisterMap) {
  Norvane_Data_t record;
  std::memset(&record, 0, sizeof record);
  record.unit_on_off = 170;
  record.floor_water_alarm = 2;
  record.heater_run_time = 65535;
  EXPECT_EQ(norvane::register_word(record, 13), 170);
  EXPECT_EQ(norvane::register_word(record, 31), 2);
  EXPECT_EQ(norvane::register_word(record, 65), 65535);
  EXPECT_EQ(norvane::register_word(record, 5), 0) << "register 5 is never read";
}

}  // namespace
