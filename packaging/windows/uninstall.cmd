@echo off
rem Stops the VORN Local Guard Service and removes it from the service
rem control manager and the event log sources. Run it from an elevated
rem Command Prompt ("Run as administrator"). The files and the log stay where
rem they are.
rem
rem Exit codes:
rem   0  removed, or it was not installed
rem   2  access denied: not run as administrator
rem   3  the service did not stop within 30 s
rem   4  the service or its event source could not be removed
setlocal EnableExtensions

set "SERVICE_NAME=VORNGuardLocalService"
set "EVENT_SOURCE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\%SERVICE_NAME%"

sc query %SERVICE_NAME% >nul 2>&1
if errorlevel 1 goto :not_installed

echo Stopping %SERVICE_NAME%
rem A service that is not running answers "not started" (1062): fine here.
sc stop %SERVICE_NAME% >nul 2>&1
if "%ERRORLEVEL%"=="5" goto :not_admin
call :wait_for_state STOPPED
if errorlevel 1 goto :not_stopped

echo Removing %SERVICE_NAME%
sc delete %SERVICE_NAME%
set "RC=%ERRORLEVEL%"
if "%RC%"=="5" goto :not_admin
if not "%RC%"=="0" goto :delete_failed
call :remove_event_source
if errorlevel 1 goto :delete_failed
echo.
echo VORN Local Guard Service is removed. Its log stays in
echo %ProgramData%\VORN\ClientService\service.log
exit /b 0

:not_installed
rem An event source left behind by an interrupted removal goes too.
call :remove_event_source
if errorlevel 1 goto :delete_failed
echo %SERVICE_NAME% is not installed; nothing to do.
exit /b 0

:not_admin
>&2 echo uninstall.cmd: access denied. Open the Command Prompt with
>&2 echo "Run as administrator" and run uninstall.cmd again.
exit /b 2

:not_stopped
>&2 echo uninstall.cmd: %SERVICE_NAME% did not stop within 30 s.
>&2 echo Run uninstall.cmd again, or end vorn-guard-service.exe in Task Manager.
exit /b 3

:delete_failed
>&2 echo uninstall.cmd: removing the service or its event source failed (error %RC%).
>&2 echo Run uninstall.cmd as administrator.
exit /b 4

rem Waits up to 30 s for "sc query" to report the state %1.
rem errorlevel 0 when it does, 1 when it does not.
:wait_for_state
for /l %%i in (1,1,30) do (
  sc query %SERVICE_NAME% | find "%~1" >nul && exit /b 0
  ping -n 2 127.0.0.1 >nul
)
exit /b 1

rem Removes the event source's key when there is one.
rem errorlevel 0 when it is gone, else reg's error code (also in RC).
:remove_event_source
reg query "%EVENT_SOURCE_KEY%" >nul 2>&1
if errorlevel 1 exit /b 0
reg delete "%EVENT_SOURCE_KEY%" /f >nul
set "RC=%ERRORLEVEL%"
exit /b %RC%
