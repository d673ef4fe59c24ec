#include "ThreadMutex.h"

CThreadMutex::CThreadMutex() { pthread_mutex_init(&m_Mutex, nullptr); }

CThreadMutex::~CThreadMutex() { pthread_mutex_destroy(&m_Mutex); }

int CThreadMutex::Lock() { return pthread_mutex_lock(&m_Mutex); }

int CThreadMutex::Unlock() { return pthread_mutex_unlock(&m_Mutex); }
