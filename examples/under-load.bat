@echo off
rem Runs while the script holds its block; replace with the program to test.
echo %date% %time% under load > under-load.log
