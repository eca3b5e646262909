@echo off
rem Makes the sample agent end and waits until it has ended.
rem Arguments: the agent name, then any further arguments (recorded, otherwise unused).
rem Every path, name and number is quoted where it is echoed or passed on (see startAgent.bat).
setlocal
for %%i in ("%~dp0..") do set "AGENT_HOME=%%~fi\"
set "AGENT_RUN=%AGENT_HOME%logs\middlewareagent"
set "PID_FILE=%AGENT_RUN%\VornelAgent.pidfile"
if not exist "%AGENT_RUN%" mkdir "%AGENT_RUN%"
>>"%AGENT_RUN%\scripts.log" echo stopAgent.bat cwd=["%CD%"] args=[%*]
echo Stopping the agent "%~1"
rem Ask the agent to end and wait up to 20 s until it has.
"%~dp0VornelAgent.exe" -stop -pidFile "%PID_FILE%" -timeout 20
if not errorlevel 1 goto :eof
rem Still running: end it by force, then wait until it has gone.
set "AGENT_PID="
for /f "usebackq" %%i in ("%PID_FILE%") do set "AGENT_PID=%%i"
if not defined AGENT_PID goto :eof
echo Ending the agent process "%AGENT_PID%" by force
taskkill /pid "%AGENT_PID%" /f
"%~dp0VornelAgent.exe" -wait -pidFile "%PID_FILE%" -timeout 10
