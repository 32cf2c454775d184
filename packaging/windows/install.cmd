@echo off
rem Creates the protected log folders, registers the VORN Local Guard Service
rem with the service control manager and as an event log source, and starts
rem it. Run it from an elevated Command Prompt ("Run as administrator"). The
rem service registered is the vorn-guard-service.exe in
rem this script's own folder, so run it where the service is to stay.
rem
rem Exit codes:
rem   0  installed and running
rem   1  vorn-guard-service.exe not found next to this script
rem   2  access denied: not run as administrator
rem   3  the service is already installed (run uninstall.cmd first)
rem   4  the service could not be registered
rem   5  the service was registered but could not be configured, or the event
rem      source not registered (both removed again)
rem   6  the service was registered but did not start
rem   7  the log folders could not be created (nothing registered)
setlocal EnableExtensions

set "SERVICE_NAME=VORNGuardLocalService"
set "DISPLAY_NAME=VORN Local Guard Service"
set "DESCRIPTION=Checks the guard modules of protected VORN game clients on this machine and terminates clients that break the rules. Log: %ProgramData%\VORN\ClientService\service.log"
set "SERVICE_EXE=%~dp0vorn-guard-service.exe"
set "EVENT_SOURCE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\%SERVICE_NAME%"

if not exist "%SERVICE_EXE%" goto :no_exe
sc query %SERVICE_NAME% >nul 2>&1
if not errorlevel 1 goto :exists

rem The folders first: until they exist, any user could create them, and the
rem service would then refuse them for good.
call "%~dp0log-folders.cmd"
set "RC=%ERRORLEVEL%"
if "%RC%"=="2" goto :not_admin
if not "%RC%"=="0" goto :folders_failed

echo Registering %SERVICE_NAME%: "%SERVICE_EXE%"
rem The path is quoted inside binPath, so that a folder with blanks (such as
rem C:\Program Files) cannot be taken for a different program.
sc create %SERVICE_NAME% type= own start= auto obj= LocalSystem DisplayName= "%DISPLAY_NAME%" binPath= "\"%SERVICE_EXE%\""
set "RC=%ERRORLEVEL%"
if "%RC%"=="5" goto :not_admin
if not "%RC%"=="0" goto :create_failed

sc description %SERVICE_NAME% "%DESCRIPTION%"
set "RC=%ERRORLEVEL%"
if not "%RC%"=="0" goto :config_failed
rem Restarted 5 s after each of its first three failures in a day.
sc failure %SERVICE_NAME% reset= 86400 actions= restart/5000/restart/5000/restart/5000
set "RC=%ERRORLEVEL%"
if not "%RC%"=="0" goto :config_failed
rem Also after a stop with an error (a start that found the pipe's name
rem taken), not only after a crash. Not fatal: an sc without failureflag
rem (Wine's) leaves the restarts to crashes.
sc failureflag %SERVICE_NAME% 1 >nul 2>&1
if errorlevel 1 echo install.cmd: failure actions apply to crashes only (sc failureflag failed).
rem The service reports to the Application event log; its messages are in the
rem service's own executable.
reg add "%EVENT_SOURCE_KEY%" /v EventMessageFile /t REG_EXPAND_SZ /d "%SERVICE_EXE%" /f >nul
set "RC=%ERRORLEVEL%"
if not "%RC%"=="0" goto :config_failed
reg add "%EVENT_SOURCE_KEY%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
set "RC=%ERRORLEVEL%"
if not "%RC%"=="0" goto :config_failed

echo Starting %SERVICE_NAME%
sc start %SERVICE_NAME%
set "RC=%ERRORLEVEL%"
if not "%RC%"=="0" goto :start_failed
call :wait_for_state RUNNING
if errorlevel 1 goto :not_running
echo.
echo %DISPLAY_NAME% is installed and running.
echo Log: %ProgramData%\VORN\ClientService\service.log
exit /b 0

:no_exe
>&2 echo install.cmd: "%SERVICE_EXE%" not found.
>&2 echo Run install.cmd from the folder that holds vorn-guard-service.exe.
exit /b 1

:not_admin
>&2 echo install.cmd: access denied. Open the Command Prompt with
>&2 echo "Run as administrator" and run install.cmd again.
exit /b 2

:exists
>&2 echo install.cmd: %SERVICE_NAME% is already installed.
>&2 echo Run uninstall.cmd first to replace it.
exit /b 3

:create_failed
>&2 echo install.cmd: registering the service failed (error %RC%).
>&2 echo Run install.cmd as administrator, from the folder of the service.
exit /b 4

:config_failed
>&2 echo install.cmd: configuring the service failed (error %RC%); removing it.
sc delete %SERVICE_NAME% >nul 2>&1
reg delete "%EVENT_SOURCE_KEY%" /f >nul 2>&1
exit /b 5

:folders_failed
>&2 echo install.cmd: the log folders could not be created (error %RC%).
>&2 echo See the message above; nothing was registered.
exit /b 7

:start_failed
>&2 echo install.cmd: %SERVICE_NAME% is registered but did not start (error %RC%).
goto :start_hint

:not_running
>&2 echo install.cmd: %SERVICE_NAME% is registered but not running after 30 s.

:start_hint
>&2 echo See the System event log (source Service Control Manager), then run
>&2 echo "sc start %SERVICE_NAME%" or uninstall.cmd.
exit /b 6

rem Waits up to 30 s for "sc query" to report the state %1.
rem errorlevel 0 when it does, 1 when it does not.
:wait_for_state
for /l %%i in (1,1,30) do (
  sc query %SERVICE_NAME% | find "%~1" >nul && exit /b 0
  ping -n 2 127.0.0.1 >nul
)
exit /b 1
