@echo off
rem Starts the sample agent detached from this script and ends at once.
rem Arguments: the agent name, then any further arguments; all are passed on to the agent.
rem The agent writes its pid into <agent home>logs\middlewareagent\VornelAgent.pidfile.
rem Every path and name is quoted where it is echoed or passed on, so that an agent home with
rem blanks, &, ^ or % in it works: the command interpreter reads none of them inside quotes.
setlocal
for %%i in ("%~dp0..") do set "AGENT_HOME=%%~fi\"
set "AGENT_RUN=%AGENT_HOME%logs\middlewareagent"
if not exist "%AGENT_RUN%" mkdir "%AGENT_RUN%"
rem One line per run, for whoever wants to know how the script was called.
>>"%AGENT_RUN%\scripts.log" echo startAgent.bat cwd=["%CD%"] args=[%*]
echo Starting the agent "%~1"
rem The agent gets its own output (NUL): it must not hold this script's redirected output open.
start "" /b "%~dp0VornelAgent.exe" -pidFile "%AGENT_RUN%\VornelAgent.pidfile" %* > NUL 2>&1
