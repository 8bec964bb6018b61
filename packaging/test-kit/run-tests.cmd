@echo off
rem Runs every test program of this kit on this machine and leaves the machine as it
rem found it. Start it from an elevated command prompt ("Run as administrator") in the
rem kit's folder, on 64-bit Windows 7 / Server 2008 R2 or later:
rem
rem     run-tests.cmd
rem
rem It prints one line per program and, last, "N passed, M failed" (tests, not
rem programs), and exits with 0 only when nothing failed. Each program's GoogleTest
rem report and output stay in results\<program>.xml and results\<program>.log.
rem Only what Windows ships is used: cmd, reg, find, ping, taskkill, fltmc, net.
setlocal EnableExtensions EnableDelayedExpansion
if "%~1"==":run_one" goto run_one

rem A 32-bit prompt on 64-bit Windows sees the 32-bit registry; the test programs see
rem the 64-bit one. Start again in the 64-bit prompt.
if not defined PROCESSOR_ARCHITEW6432 goto sixty_four_bit
"%SystemRoot%\Sysnative\cmd.exe" /d /c ""%~f0" %*"
exit /b %errorlevel%
:sixty_four_bit
if /i not "%PROCESSOR_ARCHITECTURE%"=="AMD64" (
    echo run-tests: the tests are 64-bit programs and this Windows is not x64 ^(%PROCESSOR_ARCHITECTURE%^)
    exit /b 2
)
call :elevated
if !errorlevel! neq 0 (
    echo run-tests: start me from an elevated command prompt ^("Run as administrator"^); nothing was run
    exit /b 2
)

rem pushd, unlike cd, also takes the kit's folder on a network share (as a drive).
pushd "%~dp0"
if not exist "programs.txt" (
    echo run-tests: cannot enter the kit's folder; copy the kit to a local folder and run it there
    exit /b 2
)
set "results=%CD%\results"
set "state=%CD%\saved-state"
set "work=%CD%\work"
rem The longest a program may run, in waits of about a second (each program needs well
rem under a minute on a quiet machine).
set /a limit=900

rem What the tests change and this script puts back, each key as it was (or absent):
rem the class's registration (in the machine's and the user's classes), its settings
rem and the tests' scratch keys.
set saved_keys="HKLM\SOFTWARE\Classes\CLSID\{0C5C9CEC-1FF7-42e3-AC8F-4D9BAE296C5D}"
set saved_keys=%saved_keys% "HKLM\SOFTWARE\Classes\AppID\{73D1100C-337E-4de7-84B9-8F5B10202693}"
set saved_keys=%saved_keys% "HKLM\SOFTWARE\Classes\AppID\qvnnapcfg64.dll"
set saved_keys=%saved_keys% "HKCU\Software\Classes\CLSID\{0C5C9CEC-1FF7-42e3-AC8F-4D9BAE296C5D}"
set saved_keys=%saved_keys% "HKCU\Software\Classes\AppID\{73D1100C-337E-4de7-84B9-8F5B10202693}"
set saved_keys=%saved_keys% "HKCU\Software\Classes\AppID\qvnnapcfg64.dll"
set saved_keys=%saved_keys% "HKLM\SOFTWARE\Quorvane\ZARUZARA\Settings"
set saved_keys=%saved_keys% "HKCU\Software\QvnTests" "HKCU\Software\QvnScreenshots"
rem Keys the tests create only where they are absent, removed again when they were
rem absent and never touched when present: the settings key's parents, and the tests'
rem own proxy/stub of INapComponentConfig (its interface and class keys), which the
rem tests register only where the system has no proxy/stub of that interface.
set created_keys="HKLM\SOFTWARE\Quorvane\ZARUZARA" "HKLM\SOFTWARE\Quorvane"
set created_keys=%created_keys% "HKLM\SOFTWARE\Classes\Interface\{A9E0AF1A-3713-478E-AE03-8EDD272D21FA}"
set created_keys=%created_keys% "HKLM\SOFTWARE\Classes\CLSID\{A9E0AF1A-3713-478E-AE03-8EDD272D21FA}"
set created_keys=%created_keys% "HKCU\Software\Classes\Interface\{A9E0AF1A-3713-478E-AE03-8EDD272D21FA}"
set created_keys=%created_keys% "HKCU\Software\Classes\CLSID\{A9E0AF1A-3713-478E-AE03-8EDD272D21FA}"

rem A run that was cut short (a closed window, Ctrl+C) left what it saved: the machine
rem as it was before that run. Put that back first.
if exist "%state%\complete" (
    echo run-tests: an earlier run was cut short; putting back what it found first
    call :restore
    if !errorlevel! neq 0 exit /b 1
)
if exist "%state%" rd /s /q "%state%"
call :save
if !errorlevel! neq 0 (
    echo run-tests: could not save the registry keys the tests change; nothing was run
    exit /b 1
)

if exist "%results%" rd /s /q "%results%"
if exist "%work%" rd /s /q "%work%"
mkdir "%results%"
mkdir "%work%\temp"
rem The programs' temporary files go to a folder of this run's own, removed afterwards.
set "TEMP=%work%\temp"
set "TMP=%work%\temp"
set /a passed=0, failed=0
for /f "usebackq eol=# tokens=1" %%p in ("programs.txt") do call :run_program %%p

call :restore remove
set /a restore_problems=!errorlevel!
rd /s /q "%work%" 2>nul
if exist "%work%" echo run-tests: could not remove !work! ^(a program still holds a file there^)
if !restore_problems! neq 0 set /a failed+=restore_problems
echo !passed! passed, !failed! failed
if !failed! neq 0 exit /b 1
exit /b 0


rem :elevated sets errorlevel 0 when this prompt is elevated. Filter Manager's control
rem program answers only an elevated administrator; Wine lacks it, and its prefix's
rem user is an administrator, for whom "net session" succeeds there. Windows refuses
rem both without elevation (their status is then not 0, and may be negative).
:elevated
fltmc >nul 2>&1
if !errorlevel! equ 0 exit /b 0
net session >nul 2>&1
if !errorlevel! equ 0 exit /b 0
exit /b 1


rem :save exports each saved key that exists (saved-state\N.reg) and notes each
rem created key that is absent (saved-state\absent-N); "complete" marks the end.
:save
mkdir "%state%"
set /a n=0
for %%k in (%saved_keys%) do (
    set /a n+=1
    reg query %%k >nul 2>&1
    if !errorlevel! equ 0 (
        reg export %%k "%state%\!n!.reg" /y >nul 2>&1
        if !errorlevel! neq 0 exit /b 1
    )
)
set /a n=0
for %%k in (%created_keys%) do (
    set /a n+=1
    reg query %%k >nul 2>&1
    if !errorlevel! neq 0 type nul >"%state%\absent-!n!"
)
type nul >"%state%\complete"
exit /b 0


rem :restore [remove] puts every saved key back as it was and removes the created keys
rem that were absent; with "remove" it then removes the saved state. Sets errorlevel to
rem the number of keys it could not put back (their saved copies then stay).
:restore
set /a n=0, problems=0
for %%k in (%saved_keys%) do (
    set /a n+=1
    reg delete %%k /f >nul 2>&1
    if exist "%state%\!n!.reg" (
        reg import "%state%\!n!.reg" >nul 2>&1
        if !errorlevel! neq 0 (
            echo run-tests: could not put back %%~k ^(saved in !state!\!n!.reg^)
            set /a problems+=1
        )
    )
)
set /a n=0
for %%k in (%created_keys%) do (
    set /a n+=1
    if exist "%state%\absent-!n!" reg delete %%k /f >nul 2>&1
)
if "%~1"=="remove" if !problems! equ 0 rd /s /q "%state%"
exit /b !problems!


rem :run_program NAME runs NAME.exe in a prompt of its own (:run_one), waits for it
rem within the limit, prints its line and adds its tests to the counts.
:run_program
set "program=%~1"
set "status_file=%work%\%program%.status"
rem Named without its folder (the current one), which may hold spaces and parentheses.
start "" /b cmd /d /c ""%~nx0" :run_one %program%"
set /a waited=0
:wait_for_program
if exist "%status_file%" goto program_ended
if !waited! geq %limit% goto program_timed_out
ping -n 2 127.0.0.1 >nul
set /a waited+=1
goto wait_for_program

:program_timed_out
taskkill /f /im %program%.exe >nul 2>&1
set /a waited=0
:wait_for_forced_end
if exist "%status_file%" goto program_forced_end
if !waited! geq 30 (
    echo FAIL  %program%: still running after about %limit% s, and after being ended by force
    set /a failed+=1
    goto cleanup_after_failure
)
ping -n 2 127.0.0.1 >nul
set /a waited+=1
goto wait_for_forced_end

:program_forced_end
echo FAIL  %program%: still running after about %limit% s, ended by force ^(see results\%program%.log^)
set /a failed+=1
goto cleanup_after_failure

:program_ended
rem The status file may exist a moment before its line is written.
set "status="
set /a waited=0
:read_status
set /p status=<"%status_file%"
if defined status goto status_read
set /a waited+=1
if !waited! geq 10 (
    set "status=unknown"
    goto status_read
)
ping -n 2 127.0.0.1 >nul
goto read_status
:status_read
set /a tests=-1, failures=0, disabled=0, skipped=0
set "report=results\%program%.xml"
if exist "%report%" find "<testsuite" "%report%" >"work\%program%.counts" 2>nul
if exist "%report%" for /f "usebackq tokens=1-11 delims== " %%a in ("work\%program%.counts") do (
    if "%%a"=="<testsuites" if "%%b"=="tests" set /a tests=%%~c, failures=%%~e, disabled=%%~g
    if "%%a"=="<testsuite" if "%%j"=="skipped" set /a skipped+=%%~k
)
if !tests! lss 0 (
    echo FAIL  %program%: ended with status !status! and no report ^(see results\%program%.log^)
    set /a failed+=1
    goto cleanup_after_failure
)
set /a ran=tests-failures-disabled-skipped
set /a passed+=ran, failed+=failures
set "counts=!ran! passed"
if !failures! neq 0 set "counts=!counts!, !failures! failed"
if !skipped! neq 0 set "counts=!counts!, !skipped! skipped"
if !disabled! neq 0 set "counts=!counts!, !disabled! disabled"
if "!status!"=="0" if !failures! equ 0 (
    echo PASS  %program%: !counts!
    exit /b 0
)
rem No test failed, yet the program did: a failure outside every test (the whole
rem program's set-up, or a crash at its end) counts as one.
if !failures! equ 0 (
    set /a failed+=1
    set "counts=!counts!, then ended with status !status!"
)
echo FAIL  %program%: !counts! ^(see results\%program%.log^)

:cleanup_after_failure
rem A program that failed may have stopped before its tests put the machine back. End
rem the COM surrogates (dllhost.exe) still hosting the component, which would otherwise
rem outlive it for minutes, then put the machine back for the next program.
taskkill /f /fi "IMAGENAME eq dllhost.exe" /fi "MODULES eq qvnnapcfg64.dll" >nul 2>&1
call :restore
exit /b 0


rem :run_one NAME (started by :run_program) runs NAME.exe and then writes its exit
rem status to work\NAME.status.
:run_one
".\%~2.exe" --gtest_output=xml:results\%~2.xml >"results\%~2.log" 2>&1
>"work\%~2.status" echo %errorlevel%
exit /b 0
