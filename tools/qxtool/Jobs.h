// The jobs qxtool runs; each takes the arguments after its name and returns the exit status.
#pragma once

int runPlistJob(int argc, char** argv);
int runImageDemoJob(int argc, char** argv);
int runImageCommand(int argc, char** argv);
int runServeJob(int argc, char** argv);
int runSendJob(int argc, char** argv);
