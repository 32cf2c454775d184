@echo off
rem Creates the service's log folders, %ProgramData%\VORN and
rem %ProgramData%\VORN\ClientService, owned by Administrators and with the
rem protected DACL the service gives the folders it creates itself: full
rem control for SYSTEM and Administrators, read and list for Users, nothing
rem inherited from ProgramData. The service refuses for good a folder owned by
rem anyone else, and any user may create folders in ProgramData, so one made
rem before the service first logged is taken over here. install.cmd and the
rem MSI run it, elevated.
rem
rem   log-folders.cmd [BASE]    BASE instead of %ProgramData%
rem
rem Exit codes:
rem   0  both folders exist, owned by Administrators, protected
rem   1  a folder could not be created, or something else is in its place
rem      and cannot be removed
rem   2  its owner or DACL could not be set (not run as administrator)
setlocal EnableExtensions

set "BASE=%~1"
if not defined BASE set "BASE=%ProgramData%"
if "%BASE:~-1%"=="\" set "BASE=%BASE:~0,-1%"

rem Errorlevels are tested on lines of their own: Wine's cmd takes the "||"
rem after an external program for a failure whatever it returned.
call :protect "%BASE%\VORN"
if errorlevel 1 exit /b %ERRORLEVEL%
call :protect "%BASE%\VORN\ClientService"
if errorlevel 1 exit /b %ERRORLEVEL%
exit /b 0

rem Makes %1 a plain folder owned by Administrators with the protected DACL.
:protect
call :attributes "%~1"
if not defined ATTRIBUTES goto :create
if not "%ATTRIBUTES:l=%"=="%ATTRIBUTES%" goto :remove
if /i "%ATTRIBUTES:~0,1%"=="d" goto :own
:remove
rem A link or junction in its place is removed, never followed: rmdir takes
rem the link itself, not the folder it points to. So is a file; del never
rem gets a folder (it would empty it).
if /i "%ATTRIBUTES:~0,1%"=="d" rmdir "%~1" >nul 2>&1
if /i not "%ATTRIBUTES:~0,1%"=="d" del /f /q "%~1" >nul 2>&1
call :attributes "%~1"
if defined ATTRIBUTES goto :not_removed
:create
mkdir "%~1" >nul 2>&1
call :attributes "%~1"
if not defined ATTRIBUTES goto :not_created
if not "%ATTRIBUTES:l=%"=="%ATTRIBUTES%" goto :not_created
if /i not "%ATTRIBUTES:~0,1%"=="d" goto :not_created
:own
rem /L acts on a link swapped in meanwhile, never on its target. /reset
rem drops every entry the folder had (a planter's own too), /inheritance:r
rem those from ProgramData, and /grant:r sets the three.
icacls "%~1" /setowner *S-1-5-32-544 /L /Q >nul
if errorlevel 1 goto :denied
icacls "%~1" /reset /L /Q >nul
if errorlevel 1 goto :denied
icacls "%~1" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX /L /Q >nul
if errorlevel 1 goto :denied
exit /b 0

:not_removed
>&2 echo log-folders.cmd: "%~1" is a link or a file and cannot be removed.
exit /b 1

:not_created
>&2 echo log-folders.cmd: cannot create the folder "%~1".
exit /b 1

:denied
>&2 echo log-folders.cmd: cannot set the owner and permissions of "%~1".
>&2 echo Run it as administrator.
exit /b 2

rem Sets ATTRIBUTES to the attributes of %1 ("d-------l": a folder that is a
rem link), empty when there is nothing by that name.
:attributes
set "ATTRIBUTES="
if exist "%~1" for %%f in ("%~1") do set "ATTRIBUTES=%%~af"
exit /b 0
