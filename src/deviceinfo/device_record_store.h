// The device record store: announces a phone's arrival and departure to the
// host.
//
// The notifiers take theApp.m_recordLock themselves (it guards every
// AndroidDeviceInfo::record): never call them with that lock held.
#pragma once

class AndroidDeviceInfo;

// Builds the phone's record, keeps it in info->record and sends NEW_DEVICE
// with it (unless detection is stopped or no callback is set: the record is
// kept all the same). 1 when a record was built and stored; 0 when info
// already has one, or another information object holds an announced record
// for the same serial (a phone is announced once until its REMOVE_DEVICE),
// or memory ran out. The record stays valid until REMOVE_DEVICE has returned.
int NotifyNewDevice(AndroidDeviceInfo* info);

// Sends REMOVE_DEVICE for the phone: with the record announced by NEW_DEVICE
// when there is one (then frees it and clears info->record), else with a
// temporary record holding only vid, pid, serialno and model, freed after the
// call; no temporary one while another information object holds an announced
// record for the same serial (that phone is still there). While detection is stopped or no callback
// is set nothing is sent, but the record is freed all the same. Does not touch info->notified. Null
// is ignored.
void NotifyRemoveDevice(AndroidDeviceInfo* info);

// Drops info from the announced serials without a notification; the
// information object's destructor calls it for a record never removed.
void ForgetAnnouncedDevice(const AndroidDeviceInfo* info);
