// Results files as bench_processors writes them (short passes), for the
// compare and chart tests.
#pragma once

// One thread, cut after the float test.
inline constexpr const char* one_thread =
    R"(Velotrix :: Ombrelune Benchmark MultiProcessor for Linux on x86 64bit system 2025.02.06.

Thread(s): 1


Effective Frequency.
Effective Frequency was: 0.000625515 Giga Executions/sec.


Float Streaming. Float is at: 128bits

Force to be single thread.
The system spent: 0.488515 Secs. 
It was: 0.134154 Millions Executions/sec.

Multi-Thread Enabled:
Thread:0 The system spent: 0.030627 Secs. 
Thread:0 It was: 2.13981 Millions Executions/sec.

Overall, It was: 2.13981 Millions Executions/sec.
Multi-Thread Improvements: 15.9504 times.


)";

// Two threads, the whole run.
inline constexpr const char* two_threads =
    R"(Velotrix :: Ombrelune Benchmark MultiProcessor for Linux on x86 64bit system 2025.02.06.

Thread(s): 2


Effective Frequency.
Effective Frequency was: 0.00284685 Giga Executions/sec.


Float Streaming. Float is at: 128bits

Force to be single thread.
The system spent: 0.249265 Secs. 
It was: 0.262917 Millions Executions/sec.

Multi-Thread Enabled:
Thread:0 The system spent: 0.0285272 Secs. 
Thread:0 It was: 2.29731 Millions Executions/sec.
Thread:1 The system spent: 0.0282123 Secs. 
Thread:1 It was: 2.32296 Millions Executions/sec.

Overall, It was: 4.62027 Millions Executions/sec.
Multi-Thread Improvements: 17.5731 times.


Integer Streaming. Integer is at: 128bits.

Force to be single thread.
The system spent: 0.234545 Secs. 
It was: 0.279418 Millions Executions/sec.

Multi-Thread Enabled:
Thread:0 The system spent: 0.00853569 Secs. 
Thread:0 It was: 7.67788 Millions Executions/sec.
Thread:1 The system spent: 0.00890347 Secs. 
Thread:1 It was: 7.36072 Millions Executions/sec.

Overall, It was: 15.0386 Millions Executions/sec.
Multi-Thread Improvements: 53.8211 times.


Logic Streaming. Logic is at: 8bits.

Force to be single thread.
The system spent: 8.8898e-05 Secs. 
It was: 737.204 Millions Executions/sec.

Multi-Thread Enabled:
Thread:1 The system spent: 0.000117993 Secs. 
Thread:1 It was: 555.423 Millions Executions/sec.
Thread:0 The system spent: 0.000117853 Secs. 
Thread:0 It was: 556.083 Millions Executions/sec.

Overall, It was: 1111.51 Millions Executions/sec.
Multi-Thread Improvements: 1.50773 times.


)";
