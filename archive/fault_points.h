// Fault points of the file-system layers, for test builds only. Every operation of the
// platform layer and of the archive's OS layer that changes the file system (create or
// open for writing, write, flush, move, delete, set attributes, set times, create or
// remove a directory) asks GU_FAULT_POINT first and, when it answers true, fails without
// touching anything.
//
// Without GU_FAULT_INJECTION (every shipped program) the macro is the constant false and
// no counter exists. Test programs compile the layers' sources themselves with
// GU_FAULT_INJECTION defined (gu_fault_injection in cmake/Testing.cmake) and drive the
// counter through the functions below.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#ifdef GU_FAULT_INJECTION

namespace fault_points {

enum class Mode {
  kOff,      // nothing counted, nothing fails
  kCount,    // operations counted, none fails
  kCrashAt,  // operation N and every later one fail, as if the power went at N
  kFailOne,  // only operation N fails, as a locked file or a full disk would
  kFailKind,  // every operation of one kind fails (ArmKind)
};

// Starts counting from zero in a mode; n is the 1-based operation that fails.
void Arm(Mode mode, uint64_t n = 0);
// Counts from zero and makes every operation of the named kind fail.
void ArmKind(const std::string& operation);
// Stops counting; the count and the log stay readable.
void Disarm();
// Operations counted since Arm.
uint64_t Count();
// The names of the operations counted since Arm, in order.
std::vector<std::string> Log();
// True once an operation was made to fail since Arm.
bool Tripped();
// Counts one operation; true when it must fail.
bool Fails(const char* operation);

// Times kept as a FAT volume keeps them: with ticks > 0 (100 ns units), every write time
// the layers set is rounded up to a multiple of ticks, and the volume's time resolution
// reads as ticks. 0 turns it off. Independent of the counting modes.
void SetTimeRounding(uint64_t ticks);
uint64_t TimeRounding();
uint64_t StoredTime(uint64_t time);

}  // namespace fault_points

#define GU_FAULT_POINT(operation) (::fault_points::Fails(operation))
#define GU_STORED_TIME(time) (::fault_points::StoredTime(time))
#define GU_TIME_ROUNDING() (::fault_points::TimeRounding())

#else

#define GU_FAULT_POINT(operation) (false)
#define GU_STORED_TIME(time) (time)
#define GU_TIME_ROUNDING() (uint64_t(0))

#endif
